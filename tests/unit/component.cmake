# Unit tests of the GPKI component library: loaded through CoCreateInstance
# against a SoftHSM2 token made by tools/make-test-token.
if(TARGET GpkiComponent AND TARGET kestrova_com)
  include(${CMAKE_CURRENT_LIST_DIR}/../helpers/helpers.cmake)
  add_executable(component_test ${CMAKE_CURRENT_LIST_DIR}/component_test.cpp)
  target_link_libraries(component_test PRIVATE
    kestrova_gpki_core kestrova_com kestrova_runtime kestrova_test_support PkgConfig::GNUTLS
    GTest::gtest_main ${CMAKE_DL_LIBS})
  target_compile_definitions(component_test PRIVATE
    KESTROVA_COMPONENT_FILE="$<TARGET_FILE:GpkiComponent>"
    KESTROVA_MAKE_TEST_TOKEN="${CMAKE_SOURCE_DIR}/tools/make-test-token")
  add_dependencies(component_test GpkiComponent)
  gtest_discover_tests(component_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "KESTROVA_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so")
endif()
