# Unit tests of the session module: the session table and dispatcher (with
# stand-in adapter libraries built here), the allowed-site list and the shared
# value store.
if(TARGET kestrova_session)
  # Stand-in adapters, placed below the execute path in "SessionTest" so that
  # the unit tests and the black-box tests of the real service can load them.
  foreach(variant fake textonly noentry)
    set(target session_${variant}_adapter)
    add_library(${target} SHARED ${CMAKE_CURRENT_LIST_DIR}/session_fake_adapter.cpp)
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../..)
    set_target_properties(${target} PROPERTIES
      PREFIX ""
      OUTPUT_NAME ${variant}
      LIBRARY_OUTPUT_DIRECTORY ${KESTROVA_BIN_DIR}/SessionTest
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
    target_link_options(${target} PRIVATE -Wl,-Bsymbolic)
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
  endforeach()
  target_compile_definitions(session_textonly_adapter PRIVATE FAKE_TEXT_ONLY)
  target_compile_definitions(session_noentry_adapter PRIVATE FAKE_NO_ENTRY)

  add_executable(session_test ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp)
  target_link_libraries(session_test PRIVATE kestrova_session GTest::gtest_main ${CMAKE_DL_LIBS})
  target_compile_definitions(session_test PRIVATE KESTROVA_TEST_BIN_DIR="${KESTROVA_BIN_DIR}")
  add_dependencies(session_test session_fake_adapter session_textonly_adapter session_noentry_adapter)
  gtest_discover_tests(session_test DISCOVERY_TIMEOUT 60)

  add_executable(unlockurl_test ${CMAKE_CURRENT_LIST_DIR}/unlockurl_test.cpp)
  target_link_libraries(unlockurl_test PRIVATE kestrova_session GTest::gtest_main)
  gtest_discover_tests(unlockurl_test DISCOVERY_TIMEOUT 60)

  add_executable(value_test ${CMAKE_CURRENT_LIST_DIR}/value_test.cpp)
  target_link_libraries(value_test PRIVATE kestrova_session GTest::gtest_main)
  gtest_discover_tests(value_test DISCOVERY_TIMEOUT 60)
endif()
