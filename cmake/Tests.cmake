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

# A process of its own that publishes a marker, for the marker tests of unit_core.
if(NOT WIN32 AND NOT TALLYSCOPE_TSAN)
  add_executable(marker_publisher ${CMAKE_SOURCE_DIR}/tests/tools/MarkerPublisher.cpp)
  target_link_libraries(marker_publisher PRIVATE tallyscope_agent)
endif()
# A program that loads the shared library with dlopen, without a JVM, and calls its plain exported
# functions, for the tests of unit_natives.
if(NOT WIN32 AND NOT TALLYSCOPE_TSAN AND NOT TALLYSCOPE_SANITIZE)
  add_executable(exports_client ${CMAKE_SOURCE_DIR}/tests/tools/ExportsClient.cpp)
  target_link_libraries(exports_client PRIVATE ${CMAKE_DL_LIBS})
endif()

# The ThreadSanitizer build is for the recording tests alone: their event buffers are written and replayed
# on different threads.
if(TALLYSCOPE_TSAN)
  set(_unit_dirs ${CMAKE_SOURCE_DIR}/tests/unit/recording)
else()
  file(GLOB _unit_dirs LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/unit/*)
endif()
foreach(_dir IN LISTS _unit_dirs)
  if(NOT IS_DIRECTORY ${_dir})
    continue()
  endif()
  get_filename_component(_name ${_dir} NAME)
  file(GLOB _sources CONFIGURE_DEPENDS ${_dir}/*.cpp)
  add_executable(unit_${_name} ${_sources})
  target_link_libraries(unit_${_name} PRIVATE tallyscope_agent ${TALLYSCOPE_GTEST_MAIN})
  # The dominator tests compare with Boost's Lengauer-Tarjan (header-only, Debian libboost-graph-dev).
  # Without the headers that comparison fails instead of dropping out; the Windows cross-build has none.
  if(_name STREQUAL "heap" AND NOT WIN32)
    find_package(Boost 1.74 QUIET)
    if(Boost_FOUND AND EXISTS "${Boost_INCLUDE_DIRS}/boost/graph/dominator_tree.hpp")
      target_link_libraries(unit_heap PRIVATE Boost::headers)
      target_compile_definitions(unit_heap PRIVATE TALLYSCOPE_BOOST_GRAPH)
    else()
      target_compile_definitions(unit_heap PRIVATE TALLYSCOPE_BOOST_GRAPH_MISSING)
    endif()
  endif()
  if(_name STREQUAL "natives" AND TARGET exports_client)
    add_dependencies(unit_natives exports_client tallyscope)
    target_compile_definitions(unit_natives PRIVATE TALLYSCOPE_EXPORTS_CLIENT="$<TARGET_FILE:exports_client>"
                                                   TALLYSCOPE_LIBRARY="$<TARGET_FILE:tallyscope>")
  endif()
  if(_name STREQUAL "core" AND TARGET marker_publisher)
    add_dependencies(unit_core marker_publisher)
    target_compile_definitions(unit_core PRIVATE TALLYSCOPE_MARKER_PUBLISHER="$<TARGET_FILE:marker_publisher>")
  endif()
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
# The JDK's own classes, which the instrumentation tests edit.
if(TARGET unit_instrumentation)
  include(${CMAKE_SOURCE_DIR}/cmake/JdkClassFixtures.cmake)
endif()
if(TALLYSCOPE_TSAN)
  return()
endif()
include(${CMAKE_SOURCE_DIR}/cmake/ClassCorpus.cmake)
# The probe registration tests look the compiled probe fixtures up by name.
if(TARGET unit_probes AND TARGET classfile_probe_fixtures)
  add_dependencies(unit_probes classfile_probe_fixtures)
  target_compile_definitions(unit_probes PRIVATE TALLYSCOPE_PROBE_FIXTURES="${CMAKE_BINARY_DIR}/probe-fixtures")
endif()

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
    # The Java classes the tests run (tests/inprocess/java) on the JVM's class path: with every debug
    # attribute, and those of nodebug/ with none, for the lookups that find no line table or source file.
    set(_inprocess_classes "${CMAKE_BINARY_DIR}/inprocess-classes")
    set(_inprocess_java_dir "${CMAKE_SOURCE_DIR}/tests/inprocess/java")
    file(GLOB _inprocess_java CONFIGURE_DEPENDS ${_inprocess_java_dir}/*.java)
    file(GLOB _inprocess_java_nodebug CONFIGURE_DEPENDS ${_inprocess_java_dir}/nodebug/*.java)
    add_custom_command(OUTPUT "${_inprocess_classes}/classes.stamp"
      COMMAND ${CMAKE_COMMAND} -E rm -rf "${_inprocess_classes}"
      COMMAND "${TALLYSCOPE_JAVAC}" -g -d "${_inprocess_classes}" ${_inprocess_java}
      COMMAND "${TALLYSCOPE_JAVAC}" -g:none -d "${_inprocess_classes}" ${_inprocess_java_nodebug}
      COMMAND ${CMAKE_COMMAND} -E touch "${_inprocess_classes}/classes.stamp"
      DEPENDS ${_inprocess_java} ${_inprocess_java_nodebug} COMMENT "Compiling the in-process test classes" VERBATIM)
    add_custom_target(inprocess_classes DEPENDS "${_inprocess_classes}/classes.stamp")
    add_dependencies(inprocess_jvm inprocess_classes)
    # The agent the tests' JVM loads at its start, which makes their main JVMTI environment.
    add_library(inprocess_agent MODULE ${CMAKE_SOURCE_DIR}/tests/inprocess/agent/LoadTimeEnvironment.cpp)
    target_include_directories(inprocess_agent PRIVATE ${TALLYSCOPE_JNI_INCLUDE_DIRS})
    add_dependencies(inprocess_jvm inprocess_agent)
    target_compile_definitions(inprocess_jvm PRIVATE TALLYSCOPE_INPROCESS_CLASSES="${_inprocess_classes}"
      TALLYSCOPE_INPROCESS_JAVA_SOURCES="${_inprocess_java_dir}" TALLYSCOPE_INPROCESS_AGENT="$<TARGET_FILE:inprocess_agent>")
    gtest_discover_tests(inprocess_jvm TEST_PREFIX "jvm.inprocess." DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "${TALLYSCOPE_TEST_HOME}")
  endif()

  add_test(NAME jvm.smoke COMMAND sh ${CMAKE_SOURCE_DIR}/tests/jvm/smoke.sh
           ${TALLYSCOPE_JAVA} $<TARGET_FILE:tallyscope>)
  set_tests_properties(jvm.smoke PROPERTIES ENVIRONMENT "${TALLYSCOPE_TEST_HOME}")

  # The agent started by real JVMs: the programs of tests/jvm/programs run under it, and the driver
  # (tests/jvm/*.cpp) checks their output, the agent's log and the files it made.
  set(_jvm_programs "${CMAKE_BINARY_DIR}/jvm-programs")
  file(GLOB _jvm_program_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/jvm/programs/*.java)
  add_custom_command(OUTPUT "${_jvm_programs}/programs.stamp"
    # With local variable tables: the heap snapshot tests read the names of stack roots.
    COMMAND "${TALLYSCOPE_JAVAC}" -g -d "${_jvm_programs}" ${_jvm_program_sources}
    COMMAND ${CMAKE_COMMAND} -E touch "${_jvm_programs}/programs.stamp"
    DEPENDS ${_jvm_program_sources} COMMENT "Compiling the JVM test programs" VERBATIM)
  # A Java side whose Core.init refuses, for the test of the agent's reaction.
  set(_refusing_core "${CMAKE_BINARY_DIR}/jvm-refusing-core")
  add_custom_command(OUTPUT "${_refusing_core}/com/brantel/runtime/Core.class"
    COMMAND "${TALLYSCOPE_JAVAC}" -d "${_refusing_core}" "${CMAKE_SOURCE_DIR}/tests/jvm/refusing/com/brantel/runtime/Core.java"
    DEPENDS "${CMAKE_SOURCE_DIR}/tests/jvm/refusing/com/brantel/runtime/Core.java"
    COMMENT "Compiling the refusing Java side" VERBATIM)
  # A java.lang.instrument agent that hands its Instrumentation to the programs that redefine classes.
  set(_road_agent "${CMAKE_BINARY_DIR}/jvm-road-agent")
  set(_road_agent_sources "${CMAKE_SOURCE_DIR}/tests/jvm/programs/agent")
  add_custom_command(OUTPUT "${_road_agent}/road-agent.jar"
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${_road_agent}"
    COMMAND "${TALLYSCOPE_JAVAC}" -d "${_road_agent}/classes" "${_road_agent_sources}/RoadAgent.java"
    COMMAND "${TALLYSCOPE_JAR}" --create --file "${_road_agent}/road-agent.jar"
            --manifest "${_road_agent_sources}/manifest.txt" -C "${_road_agent}/classes" .
    DEPENDS "${_road_agent_sources}/RoadAgent.java" "${_road_agent_sources}/manifest.txt"
    COMMENT "Building the redefining test agent's jar" VERBATIM)
  # The monitoring host's side: programs that load the library with System.load and declare the host's
  # classes with natives (tests/jvm/host).
  set(_host_programs "${CMAKE_BINARY_DIR}/jvm-host-programs")
  file(GLOB_RECURSE _host_program_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/jvm/host/*.java)
  add_custom_command(OUTPUT "${_host_programs}/programs.stamp"
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${_host_programs}"
    COMMAND "${TALLYSCOPE_JAVAC}" -d "${_host_programs}" ${_host_program_sources}
    COMMAND ${CMAKE_COMMAND} -E touch "${_host_programs}/programs.stamp"
    DEPENDS ${_host_program_sources} COMMENT "Compiling the host-side JVM test programs" VERBATIM)
  # Probe classes that the agent registers at start-up from a directory of their own; they compile
  # against the Java side's archive, whose annotations and Callback they use.
  set(_jvm_probes "${CMAKE_BINARY_DIR}/jvm-probes")
  file(GLOB_RECURSE _jvm_probe_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/jvm/probes/*.java)
  add_custom_command(OUTPUT "${_jvm_probes}.stamp"
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${_jvm_probes}"
    COMMAND "${TALLYSCOPE_JAVAC}" -classpath "${TALLYSCOPE_CALLBACK_JAR}" -d "${_jvm_probes}" ${_jvm_probe_sources}
    # The same classes in an archive: a running JVM adds archives to its class path, never directories.
    COMMAND "${TALLYSCOPE_JAR}" --create --file "${_jvm_probes}.jar" -C "${_jvm_probes}" .
    COMMAND ${CMAKE_COMMAND} -E touch "${_jvm_probes}.stamp"
    DEPENDS ${_jvm_probe_sources} "${TALLYSCOPE_CALLBACK_JAR}" COMMENT "Compiling the JVM test probes" VERBATIM)
  # The demo program of scripts/demo.sh, whose figures the demo test checks against every recording.
  set(_demo_classes "${CMAKE_BINARY_DIR}/demo-classes")
  add_custom_command(OUTPUT "${_demo_classes}/Demo.class"
    COMMAND "${TALLYSCOPE_JAVAC}" -d "${_demo_classes}" "${CMAKE_SOURCE_DIR}/demo/Demo.java"
    DEPENDS "${CMAKE_SOURCE_DIR}/demo/Demo.java" COMMENT "Compiling the demo program" VERBATIM)
  add_custom_target(jvm_programs ALL DEPENDS "${_jvm_programs}/programs.stamp" "${_demo_classes}/Demo.class"
    "${_refusing_core}/com/brantel/runtime/Core.class" "${_road_agent}/road-agent.jar"
    "${_host_programs}/programs.stamp" "${_jvm_probes}.stamp")
  # A second agent and JNI library for the allocation tests: it can take the heap sampling capability
  # before the agent sees it, and allocates through JNI.
  add_library(allocation_helper MODULE ${CMAKE_SOURCE_DIR}/tests/jvm/native/AllocationHelper.cpp)
  target_include_directories(allocation_helper PRIVATE ${TALLYSCOPE_JNI_INCLUDE_DIRS})
  file(GLOB _jvm_test_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/jvm/*.cpp)
  add_executable(jvm_tests ${_jvm_test_sources})
  target_link_libraries(jvm_tests PRIVATE tallyscope_agent GTest::gtest_main)
  target_compile_definitions(jvm_tests PRIVATE
    TALLYSCOPE_JAVA="${TALLYSCOPE_JAVA}" TALLYSCOPE_JCMD="${TALLYSCOPE_JDK_HOME}/bin/jcmd"
    TALLYSCOPE_LIBRARY="$<TARGET_FILE:tallyscope>" TALLYSCOPE_JVM_PROGRAMS="${_jvm_programs}"
    TALLYSCOPE_REFUSING_CORE="${_refusing_core}" TALLYSCOPE_ROAD_AGENT_JAR="${_road_agent}/road-agent.jar"
    TALLYSCOPE_JVM_HOST_PROGRAMS="${_host_programs}" TALLYSCOPE_ALLOCATION_HELPER="$<TARGET_FILE:allocation_helper>"
    TALLYSCOPE_JVM_PROBES="${_jvm_probes}" TALLYSCOPE_JVM_PROBE_ARCHIVE="${_jvm_probes}.jar"
    TALLYSCOPE_JAVAC="${TALLYSCOPE_JAVAC}" TALLYSCOPE_DEMO_CLASSES="${_demo_classes}"
    TALLYSCOPE_JDK_HOME="${TALLYSCOPE_JDK_HOME}" TALLYSCOPE_MONITORING_FIXTURES="${CMAKE_SOURCE_DIR}/tests/jvm/monitoring")
  add_dependencies(jvm_tests jvm_programs tallyscope allocation_helper)
  # A JVM keeps more than one core busy (its compilers and collector beside the program, and the programs
  # here spin several threads): counting two per test keeps a parallel run from starving the samplers
  # whose shares of CPU time the tests check.
  gtest_discover_tests(jvm_tests TEST_PREFIX "jvm." DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "${TALLYSCOPE_TEST_HOME}" PROCESSORS 2)

  find_package(benchmark REQUIRED)
  file(GLOB _bench_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  # The stack-capture and sampling-cycle benchmarks create a JVM in their process, so they are an
  # executable of their own. StackCaptureBench.cpp makes the JVM and holds main; it comes first so that its
  # benchmarks are registered, and run, before the sampling cycles start their threads.
  set(_jvm_bench_sources ${CMAKE_SOURCE_DIR}/bench/StackCaptureBench.cpp
                         ${CMAKE_SOURCE_DIR}/bench/SamplingCycleBench.cpp)
  set(_jvm_bench_java ${CMAKE_SOURCE_DIR}/bench/StackDescent.java ${CMAKE_SOURCE_DIR}/bench/ParkedStacks.java)
  list(REMOVE_ITEM _bench_sources ${_jvm_bench_sources} ${CMAKE_SOURCE_DIR}/bench/DominatorBench.cpp
       ${CMAKE_SOURCE_DIR}/bench/MethodEventAgent.cpp)
  # The reference of bench/call_cost.sh and bench/exception_cost.sh: a minimal JVMTI agent that takes the
  # JVM's MethodEntry and MethodExit events, or its Exception and ExceptionCatch events.
  add_library(method_event_agent MODULE ${CMAKE_SOURCE_DIR}/bench/MethodEventAgent.cpp)
  target_include_directories(method_event_agent PRIVATE ${TALLYSCOPE_JNI_INCLUDE_DIRS})
  # The dominator benchmark's driver, a program of its own run once per measurement by
  # bench/dominators.sh, with Boost's Lengauer-Tarjan as the reference.
  find_package(Boost 1.74 QUIET)
  if(EXISTS ${CMAKE_SOURCE_DIR}/bench/DominatorBench.cpp AND Boost_FOUND)
    add_executable(dominator_bench ${CMAKE_SOURCE_DIR}/bench/DominatorBench.cpp)
    target_link_libraries(dominator_bench PRIVATE tallyscope_agent Boost::headers)
  endif()
  if(_bench_sources)
    add_executable(tallyscope_bench ${_bench_sources})
    target_link_libraries(tallyscope_bench PRIVATE tallyscope_agent benchmark::benchmark_main)
  endif()
  if(EXISTS ${CMAKE_SOURCE_DIR}/bench/StackCaptureBench.cpp)
    set(_bench_classes "${CMAKE_BINARY_DIR}/bench-classes")
    add_custom_command(OUTPUT "${_bench_classes}/classes.stamp"
      COMMAND "${TALLYSCOPE_JAVAC}" -d "${_bench_classes}" ${_jvm_bench_java}
      COMMAND ${CMAKE_COMMAND} -E touch "${_bench_classes}/classes.stamp"
      DEPENDS ${_jvm_bench_java}
      COMMENT "Compiling the JVM benchmarks' Java classes" VERBATIM)
    add_custom_target(jvm_bench_classes DEPENDS "${_bench_classes}/classes.stamp")
    set(_bench_libjvm_dir "${TALLYSCOPE_JDK_HOME}/lib/server")
    add_executable(tallyscope_jvm_bench ${_jvm_bench_sources})
    target_link_libraries(tallyscope_jvm_bench PRIVATE tallyscope_agent benchmark::benchmark
                          "${_bench_libjvm_dir}/libjvm.so")
    set_target_properties(tallyscope_jvm_bench PROPERTIES BUILD_RPATH "${_bench_libjvm_dir}")
    target_compile_definitions(tallyscope_jvm_bench PRIVATE TALLYSCOPE_BENCH_CLASSES="${_bench_classes}")
    add_dependencies(tallyscope_jvm_bench jvm_bench_classes)
  endif()
endif()
