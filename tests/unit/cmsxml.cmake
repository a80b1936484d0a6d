# Unit tests of the component's CMS and XML signatures, run with software keys
# and checked by openssl and xmlsec1.
if(TARGET kestrova_runtime)
  if(NOT TARGET kestrova_cmsxml)
    include(${CMAKE_SOURCE_DIR}/component/CmsXml.cmake)
  endif()
  foreach(suite cms xml)
    add_executable(${suite}_test ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
    target_link_libraries(${suite}_test PRIVATE kestrova_cmsxml GTest::gtest_main)
    gtest_discover_tests(${suite}_test
      PROPERTIES ENVIRONMENT "KESTROVA_TEST_DATA=${KESTROVA_TEST_DATA}"
      DISCOVERY_TIMEOUT 60)
  endforeach()
endif()
