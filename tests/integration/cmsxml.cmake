# The component's CMS and XML methods on a SoftHSM2 token, checked by
# openssl cms and xmlsec1.
if(TARGET kestrova_gpki_core AND TARGET kestrova_cmsxml)
  foreach(suite cms xml)
    add_executable(${suite}_integration_test ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
    target_link_libraries(${suite}_integration_test PRIVATE kestrova_gpki_core GTest::gtest_main)
    target_compile_definitions(${suite}_integration_test PRIVATE
      KESTROVA_TEST_MAKE_TOKEN="${CMAKE_SOURCE_DIR}/tools/make-test-token")
    gtest_discover_tests(${suite}_integration_test DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS integration ENVIRONMENT "KESTROVA_TEST_DATA=${KESTROVA_TEST_DATA}")
  endforeach()
endif()

# The main cases through the real service over HTTPS, with the real adapter
# and the real component on a SoftHSM2 token.
if(TARGET ARDEQKestrova AND TARGET kestrova_itest AND TARGET kestrova_com AND TARGET GpkiCardAdapter
   AND TARGET GpkiComponent)
  add_executable(cms_service_itest ${CMAKE_CURRENT_LIST_DIR}/cms_service_test.cpp)
  target_include_directories(cms_service_itest PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../..)
  target_link_libraries(cms_service_itest PRIVATE kestrova_itest kestrova_com GTest::gtest_main)
  target_compile_definitions(cms_service_itest PRIVATE
    KESTROVA_TEST_COMPONENT_FILE="$<TARGET_FILE:GpkiComponent>"
    KESTROVA_TEST_MAKE_TOKEN="${CMAKE_SOURCE_DIR}/tools/make-test-token")
  add_dependencies(cms_service_itest ARDEQKestrova GpkiCardAdapter GpkiComponent)
  gtest_discover_tests(cms_service_itest
    TEST_PREFIX "cms_service."
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 900 LABELS integration ENVIRONMENT "KESTROVA_TEST_DATA=${KESTROVA_TEST_DATA}")
endif()
