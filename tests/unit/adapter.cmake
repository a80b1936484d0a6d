# Tests of common/com (com_test) and of the adapter library (adapter_test),
# both against the test GPKI component built in the tree as a real shared
# library and registered through a registration file in a temporary folder.
if(TARGET kestrova_com AND TARGET kestrova_json AND TARGET kestrova_runtime)
  if(NOT TARGET kestrova_testcomponent)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../testcomponent
                     ${CMAKE_BINARY_DIR}/tests/testcomponent)
  endif()

  add_executable(com_test ${CMAKE_CURRENT_LIST_DIR}/com_test.cpp)
  target_link_libraries(com_test PRIVATE kestrova_com kestrova_runtime GTest::gtest_main)
  target_compile_definitions(com_test PRIVATE
    KESTROVA_TEST_COMPONENT_FILE="$<TARGET_FILE:kestrova_testcomponent>")
  add_dependencies(com_test kestrova_testcomponent)
  if(TARGET GpkiCardAdapter)
    add_dependencies(com_test GpkiCardAdapter)
    target_compile_definitions(com_test PRIVATE
      KESTROVA_ADAPTER_FILE="$<TARGET_FILE:GpkiCardAdapter>")
  endif()
  gtest_discover_tests(com_test DISCOVERY_TIMEOUT 60)

  if(TARGET GpkiCardAdapter)
    add_executable(adapter_test ${CMAKE_CURRENT_LIST_DIR}/adapter_test.cpp)
    target_link_libraries(adapter_test PRIVATE
      kestrova_json kestrova_com kestrova_runtime GTest::gtest_main ${CMAKE_DL_LIBS})
    target_compile_definitions(adapter_test PRIVATE
      KESTROVA_TEST_COMPONENT_FILE="$<TARGET_FILE:kestrova_testcomponent>"
      KESTROVA_ADAPTER_FILE="$<TARGET_FILE:GpkiCardAdapter>")
    add_dependencies(adapter_test kestrova_testcomponent GpkiCardAdapter)
    gtest_discover_tests(adapter_test DISCOVERY_TIMEOUT 60)
  endif()
endif()
