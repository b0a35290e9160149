# One libFuzzer executable per tests/fuzz/*.cpp, and a short run of each as a test. Each run keeps the
# corpus it grows in the build directory, so later runs on the same machine start from it.
set(TALLYSCOPE_FUZZ_SECONDS 20 CACHE STRING "How long each fuzz target runs in the test run")
# Targets that run a fixed number of inputs instead, each well under a minute.
set(TALLYSCOPE_FUZZ_RUNS_ZipReaderFuzz 100000)
file(GLOB _fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*.cpp)
foreach(_source IN LISTS _fuzz_sources)
  get_filename_component(_name ${_source} NAME_WE)
  add_executable(fuzz_${_name} ${_source})
  target_link_libraries(fuzz_${_name} PRIVATE tallyscope_agent)
  target_link_options(fuzz_${_name} PRIVATE -fsanitize=fuzzer)
  set(_corpus ${CMAKE_BINARY_DIR}/corpus/${_name})
  file(MAKE_DIRECTORY ${_corpus})
  if(DEFINED TALLYSCOPE_FUZZ_RUNS_${_name})
    set(_length -runs=${TALLYSCOPE_FUZZ_RUNS_${_name}})
  else()
    set(_length -max_total_time=${TALLYSCOPE_FUZZ_SECONDS})
  endif()
  add_test(NAME fuzz.${_name} COMMAND fuzz_${_name} ${_length} -timeout=10 -rss_limit_mb=2048 ${_corpus})
endforeach()

# Whole classes are fuzzed from real ones: the class-file test fixtures and the edit fixture, compiled by
# javac into a "seeds" folder of the target's corpus (libFuzzer reads its corpus folders recursively).
if(TARGET fuzz_ClassFileFuzz)
  file(GLOB_RECURSE _seed_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/classfile/fixtures/*.java)
  list(APPEND _seed_sources ${CMAKE_SOURCE_DIR}/tests/jvm/edited/Main.java)
  set(_seeds ${CMAKE_BINARY_DIR}/corpus/ClassFileFuzz/seeds)
  add_custom_command(OUTPUT ${_seeds}.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_seeds}
    COMMAND "${TALLYSCOPE_JAVAC}" -g -sourcepath ${CMAKE_SOURCE_DIR}/resources/java -implicit:none -d ${_seeds}
            ${_seed_sources}
    COMMAND ${CMAKE_COMMAND} -E touch ${_seeds}.stamp
    DEPENDS ${_seed_sources} COMMENT "Compiling the seed classes of ClassFileFuzz" VERBATIM)
  add_custom_target(class_file_fuzz_seeds ALL DEPENDS ${_seeds}.stamp)
endif()
