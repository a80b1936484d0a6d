# Endurance of the running service: ten thousand echoes, two thousand
# sessions, bad input mixed with good calls. Bounded in count; memory and
# descriptors compared after a warm-up. Real service, real adapter, the test
# GPKI component.
if(TARGET ARDEQKestrova AND TARGET kestrova_itest AND TARGET kestrova_com AND TARGET GpkiCardAdapter)
  if(NOT TARGET kestrova_testcomponent AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/../testcomponent/CMakeLists.txt)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../testcomponent ${CMAKE_BINARY_DIR}/tests/testcomponent)
  endif()
  add_executable(endurance_itest ${CMAKE_CURRENT_LIST_DIR}/endurance_test.cpp)
  target_include_directories(endurance_itest PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../..)
  target_link_libraries(endurance_itest PRIVATE kestrova_itest kestrova_com GTest::gtest_main)
  add_dependencies(endurance_itest ARDEQKestrova GpkiCardAdapter)
  if(TARGET kestrova_testcomponent)
    target_compile_definitions(endurance_itest PRIVATE
      KESTROVA_TEST_COMPONENT_FILE="$<TARGET_FILE:kestrova_testcomponent>")
    add_dependencies(endurance_itest kestrova_testcomponent)
  endif()
  gtest_discover_tests(endurance_itest
    TEST_PREFIX "endurance."
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 900 LABELS endurance)
endif()
