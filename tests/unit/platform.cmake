# Unit tests of common/platform: folders and their overrides, locks and events
# between two processes, program starts and process scans, the port probe
# against real sockets, module loading.
include(${CMAKE_SOURCE_DIR}/tests/helpers/helpers.cmake)

if(TARGET kestrova_platform AND TARGET kestrova_test_helper)
  add_executable(platform_test ${CMAKE_CURRENT_LIST_DIR}/platform_test.cpp)
  target_link_libraries(platform_test PRIVATE kestrova_platform kestrova_runtime kestrova_test_support
                        GTest::gtest_main)
  target_compile_definitions(platform_test PRIVATE
    KESTROVA_TEST_HELPER="$<TARGET_FILE:kestrova_test_helper>")
  add_dependencies(platform_test kestrova_test_helper)
  gtest_discover_tests(platform_test DISCOVERY_TIMEOUT 60)
endif()
