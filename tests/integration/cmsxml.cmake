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
