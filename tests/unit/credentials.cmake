# Tests of the TLS credentials: the white-box slot contract, the stored pairs
# and their choice, the issued certificates checked by OpenSSL and certtool,
# the root's name constraints, and that no private key text lies anywhere in
# the build folder.

# The service folder normally includes Credentials.cmake; until it does, the
# tests bring the library in themselves.
if(NOT TARGET kestrova_credentials AND EXISTS ${CMAKE_SOURCE_DIR}/service/Credentials.cmake)
  include(${CMAKE_SOURCE_DIR}/service/Credentials.cmake)
endif()

if(TARGET kestrova_credentials)
  add_executable(credentials_test ${CMAKE_CURRENT_LIST_DIR}/credentials_test.cpp)
  target_link_libraries(credentials_test PRIVATE kestrova_credentials GTest::gtest_main PkgConfig::GNUTLS)
  gtest_discover_tests(credentials_test DISCOVERY_TIMEOUT 60)
endif()
