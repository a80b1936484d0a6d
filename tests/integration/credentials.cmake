# Black-box checks of the issued credentials with OpenSSL and certtool, the
# root's name constraints, and the scan of the build folder for key text.

if(NOT TARGET kestrova_credentials AND EXISTS ${CMAKE_SOURCE_DIR}/service/Credentials.cmake)
  include(${CMAKE_SOURCE_DIR}/service/Credentials.cmake)
endif()

if(TARGET kestrova_credentials)
  add_executable(credentials_integration_test ${CMAKE_CURRENT_LIST_DIR}/credentials_test.cpp)
  target_link_libraries(credentials_integration_test PRIVATE kestrova_credentials GTest::gtest_main)
  target_compile_definitions(credentials_integration_test PRIVATE
    KESTROVA_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}"
    KESTROVA_TEST_ROOT_EC="$<TARGET_PROPERTY:kestrova_credentials,KESTROVA_ROOT_PEM_EC>"
    KESTROVA_TEST_ROOT_RSA="$<TARGET_PROPERTY:kestrova_credentials,KESTROVA_ROOT_PEM_RSA>"
    KESTROVA_TEST_GENCREDS="$<TARGET_FILE:kestrova_gencreds>"
    KESTROVA_TEST_GENERATED_SOURCE="$<TARGET_PROPERTY:kestrova_credentials,KESTROVA_CREDENTIALS_GENERATED>"
    KESTROVA_TEST_CREDENTIALS_LIBRARY="$<TARGET_FILE:kestrova_credentials>")
  # The name-constraint case runs the generator.
  add_dependencies(credentials_integration_test kestrova_gencreds)
  gtest_discover_tests(credentials_integration_test DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS integration)
endif()

# The same credentials served by the real service.
if(TARGET kestrova_credentials AND TARGET kestrova_itest AND TARGET ARDEQKestrova)
  add_executable(credentials_served_test ${CMAKE_CURRENT_LIST_DIR}/credentials_served_test.cpp)
  target_link_libraries(credentials_served_test PRIVATE kestrova_credentials kestrova_itest GTest::gtest_main)
  target_compile_definitions(credentials_served_test PRIVATE
    KESTROVA_TEST_ROOT_EC="$<TARGET_PROPERTY:kestrova_credentials,KESTROVA_ROOT_PEM_EC>")
  add_dependencies(credentials_served_test ARDEQKestrova)
  gtest_discover_tests(credentials_served_test DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS integration)
endif()
