# Black-box tests of the adapter's component functions: pages call the real
# service over HTTPS, the service's session copy of GpkiCardAdapter.so drives
# the test GPKI component (registered through a temporary registry folder).
if(TARGET ARDEQKestrova AND TARGET kestrova_itest AND TARGET kestrova_com
   AND TARGET GpkiCardAdapter AND TARGET kestrova_session)
  if(NOT TARGET kestrova_testcomponent)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../testcomponent
                     ${CMAKE_BINARY_DIR}/tests/testcomponent)
  endif()
  add_executable(adapter_itest ${CMAKE_CURRENT_LIST_DIR}/adapter_test.cpp)
  target_include_directories(adapter_itest PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../..)
  target_link_libraries(adapter_itest PRIVATE kestrova_itest kestrova_com GTest::gtest_main)
  target_compile_definitions(adapter_itest PRIVATE
    KESTROVA_TEST_COMPONENT_FILE="$<TARGET_FILE:kestrova_testcomponent>")
  add_dependencies(adapter_itest ARDEQKestrova GpkiCardAdapter kestrova_testcomponent)
  gtest_discover_tests(adapter_itest
    TEST_PREFIX "adapter."
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 900 LABELS integration)
endif()
