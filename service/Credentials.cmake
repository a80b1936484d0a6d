# TLS credentials of the service: the credentials generator, the source it
# writes into the build folder, and the kestrova_credentials library (Key and
# the white-box key utility) that carries them into the service program.
#
# The generator runs when its outputs are missing from the build folder, or
# when its own sources or the white-box derivation change (the stored cipher
# texts must match the derivation compiled into the service). It does not run
# on every build: RSA-4096 key generation is slow, and a new root would
# invalidate roots already imported from this build folder.
include_guard(GLOBAL)

if(NOT TARGET kestrova_json OR NOT TARGET kestrova_runtime)
  message(STATUS "kestrova_credentials: waiting for kestrova_json and kestrova_runtime")
  return()
endif()

set(KESTROVA_CREDENTIALS_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
if(KESTROVA_BIN_DIR)
  set(KESTROVA_ROOT_PEM_DIR ${KESTROVA_BIN_DIR})
else()
  set(KESTROVA_ROOT_PEM_DIR ${CMAKE_BINARY_DIR}/bin)
endif()
set(KESTROVA_ROOT_PEM_EC ${KESTROVA_ROOT_PEM_DIR}/ARDEQKestrovaRootEC.pem)
set(KESTROVA_ROOT_PEM_RSA ${KESTROVA_ROOT_PEM_DIR}/ARDEQKestrovaRootRSA.pem)
set(KESTROVA_CREDENTIALS_GENERATED ${CMAKE_BINARY_DIR}/generated/credentials/StoredCredentials.cpp)

add_executable(kestrova_gencreds
  ${KESTROVA_CREDENTIALS_SOURCE_ROOT}/tools/gencreds/gencreds.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QXWhiteBoxUtilCore.cpp)
# A build tool, not part of the execute path.
set_target_properties(kestrova_gencreds PROPERTIES
  OUTPUT_NAME gencreds
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
target_include_directories(kestrova_gencreds PRIVATE ${KESTROVA_CREDENTIALS_SOURCE_ROOT})
target_link_libraries(kestrova_gencreds PRIVATE
  kestrova_json kestrova_runtime PkgConfig::GNUTLS PkgConfig::NETTLE)

# The generator is named through a generator expression: that orders the build
# (generator first) without making every relink of it issue new credentials.
add_custom_command(
  OUTPUT ${KESTROVA_CREDENTIALS_GENERATED} ${KESTROVA_ROOT_PEM_EC} ${KESTROVA_ROOT_PEM_RSA}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/credentials ${KESTROVA_ROOT_PEM_DIR}
  COMMAND $<TARGET_FILE:kestrova_gencreds>
          --source ${KESTROVA_CREDENTIALS_GENERATED} --roots ${KESTROVA_ROOT_PEM_DIR}
  DEPENDS
    ${KESTROVA_CREDENTIALS_SOURCE_ROOT}/tools/gencreds/gencreds.cpp
    ${KESTROVA_CREDENTIALS_SOURCE_ROOT}/tools/gencreds/CredentialData.h
    ${CMAKE_CURRENT_LIST_DIR}/QXWhiteBoxUtilCore.cpp
  COMMENT "Issuing the service's root and TLS credentials (RSA-4096 keys take a while)"
  VERBATIM)

add_library(kestrova_credentials STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Key.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QXWhiteBoxUtilCore.cpp
  ${KESTROVA_CREDENTIALS_GENERATED})
add_dependencies(kestrova_credentials kestrova_gencreds)
target_include_directories(kestrova_credentials PUBLIC ${KESTROVA_CREDENTIALS_SOURCE_ROOT})
target_link_libraries(kestrova_credentials PUBLIC
  kestrova_json kestrova_runtime PkgConfig::GNUTLS PkgConfig::NETTLE)
# Where the outputs are, for the tests (the variables above are local to the
# folder that includes this file).
set_target_properties(kestrova_credentials PROPERTIES
  KESTROVA_ROOT_PEM_EC ${KESTROVA_ROOT_PEM_EC}
  KESTROVA_ROOT_PEM_RSA ${KESTROVA_ROOT_PEM_RSA}
  KESTROVA_CREDENTIALS_GENERATED ${KESTROVA_CREDENTIALS_GENERATED})
