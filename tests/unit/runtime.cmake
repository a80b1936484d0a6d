# Unit tests of common/runtime: the log library (settings reader, dated names,
# rotation, two writers in two processes), the tagged writers and setLog, the
# log switch thread, the utility library and the OS identification.
include(${CMAKE_SOURCE_DIR}/tests/helpers/helpers.cmake)

if(TARGET kestrova_runtime AND TARGET kestrova_test_helper)
  add_executable(runtime_test
    ${CMAKE_CURRENT_LIST_DIR}/runtime_log_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/runtime_tool_test.cpp)
  target_link_libraries(runtime_test PRIVATE kestrova_runtime kestrova_test_support GTest::gtest_main)
  target_compile_definitions(runtime_test PRIVATE
    KESTROVA_TEST_HELPER="$<TARGET_FILE:kestrova_test_helper>")
  add_dependencies(runtime_test kestrova_test_helper)
  gtest_discover_tests(runtime_test DISCOVERY_TIMEOUT 60)
endif()
