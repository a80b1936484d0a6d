# fuzz_request: the request path from the form body through the session
# dispatcher, with a stand-in adapter library that the session table copies
# and loads like the real one (FUZZ_ADAPTER_ROOT/ARDEQ/GpkiCardAdapter.so).
if(TARGET kestrova_session AND TARGET kestrova_json AND TARGET kestrova_runtime)
  # Built without instrumentation: a fuzz run loads and unloads thousands of
  # private copies, and an instrumented library leaves sanitizer bookkeeping
  # behind on every load.
  add_library(fuzz_request_adapter MODULE ${CMAKE_CURRENT_LIST_DIR}/request_fuzz_adapter.cpp)
  target_include_directories(fuzz_request_adapter PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(fuzz_request_adapter PRIVATE -fno-sanitize=all)
  target_link_options(fuzz_request_adapter PRIVATE -fno-sanitize=all)
  set_target_properties(fuzz_request_adapter PROPERTIES
    PREFIX ""
    OUTPUT_NAME GpkiCardAdapter
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz-request/ARDEQ)

  add_executable(fuzz_request ${CMAKE_CURRENT_LIST_DIR}/request_fuzz.cpp
                 ${CMAKE_SOURCE_DIR}/service/RequestHandler.cpp)
  target_include_directories(fuzz_request PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(fuzz_request PRIVATE kestrova_session kestrova_json kestrova_runtime
                        PkgConfig::MHD Threads::Threads ${CMAKE_DL_LIBS})
  if(TARGET kestrova_platform)
    target_link_libraries(fuzz_request PRIVATE kestrova_platform)
  endif()
  target_link_options(fuzz_request PRIVATE -fsanitize=fuzzer)
  target_compile_definitions(fuzz_request PRIVATE
    FUZZ_ADAPTER_ROOT="${CMAKE_BINARY_DIR}/fuzz-request")
  add_dependencies(fuzz_request fuzz_request_adapter)
endif()
