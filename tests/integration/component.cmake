# Black-box tests of the GPKI component: a page's session through the real
# service over HTTPS, the real adapter and the real component, against a
# SoftHSM2 token made by tools/make-test-token.
if(TARGET ARDEQKestrova AND TARGET kestrova_itest AND TARGET GpkiCardAdapter AND TARGET GpkiComponent)
  add_executable(component_itest ${CMAKE_CURRENT_LIST_DIR}/component_test.cpp)
  target_link_libraries(component_itest PRIVATE kestrova_itest GTest::gtest_main)
  target_compile_definitions(component_itest PRIVATE
    KESTROVA_COMPONENT_FILE="$<TARGET_FILE:GpkiComponent>"
    KESTROVA_MAKE_TEST_TOKEN="${CMAKE_SOURCE_DIR}/tools/make-test-token")
  add_dependencies(component_itest ARDEQKestrova GpkiCardAdapter GpkiComponent)
  gtest_discover_tests(component_itest
    TEST_PREFIX "component."
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 900 LABELS integration)
endif()
