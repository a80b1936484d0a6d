# CMS and XML signatures of the GPKI component, kept as a static library so
# that the unit tests exercise them with software keys, without the COM shell.
# The component's own CMakeLists includes this file and links the library;
# the unit tests include it too when the component folder is not built yet.
if(NOT TARGET kestrova_cmsxml)
  add_library(kestrova_cmsxml STATIC
    ${CMAKE_SOURCE_DIR}/component/Cms.cpp
    ${CMAKE_SOURCE_DIR}/component/XmlSign.cpp)
  target_include_directories(kestrova_cmsxml PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(kestrova_cmsxml PUBLIC
    kestrova_runtime PkgConfig::GNUTLS PkgConfig::OPENSSL
    PkgConfig::XMLSEC PkgConfig::LIBXML2)
endif()
