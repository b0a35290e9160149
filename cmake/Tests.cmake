# Unit tests: one GoogleTest executable per directory under tests/unit/, linked against the static library.
if(WIN32)
  # Debian ships GoogleTest for Windows only as source.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(TALLYSCOPE_GTEST_MAIN gtest_main)
else()
  find_package(GTest REQUIRED)
  set(TALLYSCOPE_GTEST_MAIN GTest::gtest_main)
endif()
include(GoogleTest)

# The agent home of every test: the log and the settings files of the code under test stay in the build
# tree instead of the user's home.
set(TALLYSCOPE_TEST_HOME "BRANTEL_HOME=${CMAKE_BINARY_DIR}/test-home")

file(GLOB _unit_dirs LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/unit/*)
foreach(_dir IN LISTS _unit_dirs)
  if(NOT IS_DIRECTORY ${_dir})
    continue()
  endif()
  get_filename_component(_name ${_dir} NAME)
  file(GLOB _sources CONFIGURE_DEPENDS ${_dir}/*.cpp)
  add_executable(unit_${_name} ${_sources})
  target_link_libraries(unit_${_name} PRIVATE tallyscope_agent ${TALLYSCOPE_GTEST_MAIN})
  if(WIN32)
    # One wine start per executable; a self-contained .exe needs no DLLs from the mingw tree.
    target_link_options(unit_${_name} PRIVATE -static)
    add_test(NAME unit_${_name} COMMAND unit_${_name})
    set_tests_properties(unit_${_name} PROPERTIES ENVIRONMENT "${TALLYSCOPE_TEST_HOME}")
  else()
    gtest_discover_tests(unit_${_name} TEST_PREFIX "${_name}." DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "${TALLYSCOPE_TEST_HOME}")
  endif()
endforeach()
include(${CMAKE_SOURCE_DIR}/cmake/ClassCorpus.cmake)

if(TALLYSCOPE_SANITIZE)
  return()  # the sanitizer build is for the unit and class-corpus tests alone
endif()

# What the shared library exports, on both targets.
if(WIN32)
  add_test(NAME exports COMMAND sh ${CMAKE_SOURCE_DIR}/tests/exports/check_exports.sh windows
           $<TARGET_FILE:tallyscope> x86_64-w64-mingw32-objdump)
else()
  add_test(NAME exports COMMAND sh ${CMAKE_SOURCE_DIR}/tests/exports/check_exports.sh linux
           $<TARGET_FILE:tallyscope> nm)
endif()

# The library loaded into a real JVM, and the benchmarks (built here so that they keep compiling; only
# scripts/bench.sh runs them).
if(NOT WIN32)
  # Tests of the JNI and JVMTI helpers against a JVM created inside the test process (JNI_CreateJavaVM).
  # A process holds one JVM, so these live in one executable, each test run in a process of its own.
  file(GLOB _inprocess_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/inprocess/*.cpp)
  if(_inprocess_sources)
    set(_libjvm_dir "${TALLYSCOPE_JDK_HOME}/lib/server")
    add_executable(inprocess_jvm ${_inprocess_sources})
    target_link_libraries(inprocess_jvm PRIVATE tallyscope_agent GTest::gtest "${_libjvm_dir}/libjvm.so")
    set_target_properties(inprocess_jvm PROPERTIES BUILD_RPATH "${_libjvm_dir}")
    gtest_discover_tests(inprocess_jvm TEST_PREFIX "jvm.inprocess." DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "${TALLYSCOPE_TEST_HOME}")
  endif()

  add_test(NAME jvm.smoke COMMAND sh ${CMAKE_SOURCE_DIR}/tests/jvm/smoke.sh
           ${TALLYSCOPE_JAVA} $<TARGET_FILE:tallyscope>)

  find_package(benchmark REQUIRED)
  file(GLOB _bench_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  if(_bench_sources)
    add_executable(tallyscope_bench ${_bench_sources})
    target_link_libraries(tallyscope_bench PRIVATE tallyscope_agent benchmark::benchmark_main)
  endif()
endif()
