# Shared test helpers: kestrova_test_support (the header-only helpers of
# TestHelpers.h) and kestrova_test_helper, a tiny second-process program that
# lands in the execute folder. Included by the test parts that use them.
if(NOT TARGET kestrova_test_support)
  add_library(kestrova_test_support INTERFACE)
  target_include_directories(kestrova_test_support INTERFACE ${CMAKE_SOURCE_DIR})
endif()

if(NOT TARGET kestrova_test_helper AND TARGET kestrova_runtime)
  add_executable(kestrova_test_helper ${CMAKE_CURRENT_LIST_DIR}/PlatformHelper.cpp)
  target_link_libraries(kestrova_test_helper PRIVATE kestrova_runtime kestrova_platform)
endif()
