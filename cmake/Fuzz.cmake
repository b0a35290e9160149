# One libFuzzer executable per tests/fuzz/*.cpp, and a short run of each as a test. Each run keeps the
# corpus it grows in the build directory, so later runs on the same machine start from it.
set(TALLYSCOPE_FUZZ_SECONDS 20 CACHE STRING "How long each fuzz target runs in the test run")
file(GLOB _fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*.cpp)
foreach(_source IN LISTS _fuzz_sources)
  get_filename_component(_name ${_source} NAME_WE)
  add_executable(fuzz_${_name} ${_source})
  target_link_libraries(fuzz_${_name} PRIVATE tallyscope_agent)
  target_link_options(fuzz_${_name} PRIVATE -fsanitize=fuzzer)
  set(_corpus ${CMAKE_BINARY_DIR}/corpus/${_name})
  file(MAKE_DIRECTORY ${_corpus})
  add_test(NAME fuzz.${_name}
           COMMAND fuzz_${_name} -max_total_time=${TALLYSCOPE_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048
                   ${_corpus})
endforeach()
