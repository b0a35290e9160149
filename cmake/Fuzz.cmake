# One libFuzzer executable per tests/fuzz/*.cpp, and a short run of each as a test. Each run keeps the
# corpus it grows in the build directory, so later runs on the same machine start from it.
# scripts/fuzz-long.sh runs each target for a million inputs, split over parallel jobs.
set(TALLYSCOPE_FUZZ_SECONDS 15 CACHE STRING "How long each fuzz target runs in the test run")
# Targets that run a fixed number of inputs instead, each well under a minute.
set(TALLYSCOPE_FUZZ_RUNS_ZipReaderFuzz 100000)

# Whole classes are fuzzed from real ones: the class-file test fixtures and the edit fixture, compiled by
# javac into a folder of seeds that the class targets read besides their own corpus. The class road's
# target registers the compiled weaving probes among them, and the probe archive's target packs some.
set(_class_seeds ${CMAKE_BINARY_DIR}/class-seeds)
file(GLOB_RECURSE _seed_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/classfile/fixtures/*.java)
list(APPEND _seed_sources ${CMAKE_SOURCE_DIR}/tests/jvm/edited/Main.java)
add_custom_command(OUTPUT ${_class_seeds}.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_class_seeds}
  COMMAND "${TALLYSCOPE_JAVAC}" -g -sourcepath ${CMAKE_SOURCE_DIR}/resources/java -implicit:none -d ${_class_seeds}
          ${_seed_sources}
  COMMAND ${CMAKE_COMMAND} -E touch ${_class_seeds}.stamp
  DEPENDS ${_seed_sources} COMMENT "Compiling the seed classes of the class fuzz targets" VERBATIM)
add_custom_target(class_fuzz_seeds ALL DEPENDS ${_class_seeds}.stamp)
set(_seeds_ClassFileFuzz ${_class_seeds})
set(_seeds_ClassRoadFuzz ${_class_seeds})

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
  add_test(NAME fuzz.${_name} COMMAND fuzz_${_name} ${_length} -timeout=10 -rss_limit_mb=2048 ${_corpus}
           ${_seeds_${_name}})
  if(DEFINED TALLYSCOPE_FUZZ_RUNS_${_name})
    set_tests_properties(fuzz.${_name} PROPERTIES COST 1000)  # the longest runs start first
  endif()
endforeach()

foreach(_name ClassRoadFuzz ProbeArchiveFuzz)
  target_compile_definitions(fuzz_${_name} PRIVATE TALLYSCOPE_FUZZ_CLASSES="${_class_seeds}")
  add_dependencies(fuzz_${_name} class_fuzz_seeds)
endforeach()
