# Unit tests of common/json: the JSON map (json_test) and the value codecs
# (aes_test, which also checks the cipher against the openssl command line).
if(TARGET kestrova_json AND TARGET kestrova_runtime)
  foreach(suite json aes)
    add_executable(${suite}_test ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
    target_link_libraries(${suite}_test PRIVATE kestrova_json kestrova_runtime GTest::gtest_main)
    gtest_discover_tests(${suite}_test
      PROPERTIES ENVIRONMENT "KESTROVA_TEST_DATA=${KESTROVA_TEST_DATA}"
      DISCOVERY_TIMEOUT 60)
  endforeach()
endif()
