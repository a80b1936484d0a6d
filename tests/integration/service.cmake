# Black-box tests of the service program: start-up, listeners, HTTPS policy.
# They start the real ARDEQKestrova (isolated folders, free ports) through
# kestrova_itest and call it with libcurl and gnutls-cli.
if(TARGET ARDEQKestrova AND TARGET kestrova_itest)
  foreach(suite service https)
    add_executable(${suite}_itest ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
    target_link_libraries(${suite}_itest PRIVATE kestrova_itest GTest::gtest_main)
    add_dependencies(${suite}_itest ARDEQKestrova)
    # The session tests go through the real adapter and component when built.
    foreach(peer GpkiCardAdapter GpkiComponent)
      if(TARGET ${peer})
        add_dependencies(${suite}_itest ${peer})
      endif()
    endforeach()
    gtest_discover_tests(${suite}_itest
      TEST_PREFIX "${suite}."
      DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 900 LABELS integration)
  endforeach()
endif()
