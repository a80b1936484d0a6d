# Black-box tests of sessions and shared values: the real service over HTTPS,
# with the real adapter, the test GPKI component registered for it, and the
# stand-in adapters of the session unit tests.
if(TARGET ARDEQKestrova AND TARGET kestrova_itest AND TARGET kestrova_com AND TARGET GpkiCardAdapter
   AND TARGET kestrova_session)
  if(NOT TARGET kestrova_testcomponent AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/../testcomponent/CMakeLists.txt)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../testcomponent ${CMAKE_BINARY_DIR}/tests/testcomponent)
  endif()
  foreach(suite session value)
    add_executable(${suite}_itest ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
    target_include_directories(${suite}_itest PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../..)
    target_link_libraries(${suite}_itest PRIVATE kestrova_itest kestrova_com GTest::gtest_main)
    add_dependencies(${suite}_itest ARDEQKestrova GpkiCardAdapter
                     session_fake_adapter session_textonly_adapter session_noentry_adapter)
    if(TARGET kestrova_testcomponent)
      target_compile_definitions(${suite}_itest PRIVATE
        KESTROVA_TEST_COMPONENT_FILE="$<TARGET_FILE:kestrova_testcomponent>")
      add_dependencies(${suite}_itest kestrova_testcomponent)
    endif()
    gtest_discover_tests(${suite}_itest
      TEST_PREFIX "${suite}."
      DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 900 LABELS integration)
  endforeach()
endif()
