# The class-file corpus: every class of the installed JDK's runtime image as real input for the class-file
# model, and ASM (Debian's libasm-java) as the independent reader that the model is compared with.
#   classfile.corpus.extract  fixture: extracts the image into <build>/class-corpus once per build directory
#                             (a stamp file remembers which image was extracted)
#   classfile.corpus.asm      fixture: tests/classfile/AsmDump.java reads the whole corpus in one JVM and
#                             writes what ASM sees into <build>/class-corpus-asm
#   classfile.corpus.*        the GoogleTest cases of tests/classfile/*.cpp, which compare the two; they
#                             find the dump through TALLYSCOPE_ASM_DUMP and the corpus through the dump,
#                             and the compiled fixtures of tests/classfile/fixtures through
#                             TALLYSCOPE_PROBE_FIXTURES; the Java programs they run themselves
#                             (AsmTextCompare, VerifyCorpus) through TALLYSCOPE_CORPUS_TOOLS, with the ASM
#                             jars of TALLYSCOPE_ASM_CLASSPATH
# Linux only. Run as a script (cmake -P) this file performs the extraction, or reports what is missing.

if(CMAKE_SCRIPT_MODE_FILE)
  if(DEFINED MISSING)
    message(FATAL_ERROR "the class-file corpus tests need ${MISSING}")
  endif()
  file(SIZE "${MODULES}" _size)
  file(TIMESTAMP "${MODULES}" _time "%s" UTC)
  set(_identity "${MODULES} ${_size} ${_time}")
  set(_stamp "${CORPUS}.stamp")
  if(EXISTS "${_stamp}")
    file(READ "${_stamp}" _extracted)
    if(_extracted STREQUAL _identity)
      return()
    endif()
  endif()
  file(REMOVE_RECURSE "${CORPUS}" "${_stamp}")
  execute_process(COMMAND "${JIMAGE}" extract --dir "${CORPUS}" "${MODULES}" RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "jimage extract failed: ${_result}")
  endif()
  file(WRITE "${_stamp}" "${_identity}")
  return()
endif()

if(WIN32)
  return()
endif()

set(_jimage "${TALLYSCOPE_JDK_HOME}/bin/jimage")
set(_modules "${TALLYSCOPE_JDK_HOME}/lib/modules")
set(_asm_jar /usr/share/java/asm.jar)
set(_asm_util_jar /usr/share/java/asm-util.jar)
# asm-util's printers, with the tree and analysis packages it links against.
set(_asm_class_path "${_asm_jar}:${_asm_util_jar}:/usr/share/java/asm-tree.jar:/usr/share/java/asm-analysis.jar")
set(_corpus "${CMAKE_BINARY_DIR}/class-corpus")
set(_asm_dump "${CMAKE_BINARY_DIR}/class-corpus-asm")
set(_asm_classes "${CMAKE_BINARY_DIR}/asm-dump-classes")

# A missing prerequisite fails the test run instead of silently dropping the corpus tests.
foreach(_needed IN ITEMS "${_asm_jar}" "${_asm_util_jar}" "${_modules}" "${_jimage}")
  if(NOT EXISTS "${_needed}")
    add_test(NAME classfile.corpus COMMAND ${CMAKE_COMMAND} "-DMISSING=${_needed}" -P ${CMAKE_CURRENT_LIST_FILE})
    return()
  endif()
endforeach()

add_custom_command(OUTPUT "${_asm_classes}/AsmDump.class"
  COMMAND "${TALLYSCOPE_JAVAC}" -cp "${_asm_jar}" -d "${_asm_classes}"
          "${CMAKE_SOURCE_DIR}/tests/classfile/AsmDump.java"
  DEPENDS "${CMAKE_SOURCE_DIR}/tests/classfile/AsmDump.java"
  COMMENT "Compiling AsmDump.java" VERBATIM)
add_custom_target(classfile_asm_dump ALL DEPENDS "${_asm_classes}/AsmDump.class")

# The Java programs that corpus tests run on what the model wrote: ASM's text of two classes compared,
# and every class defined and verified in a JVM.
set(_corpus_tools "${CMAKE_BINARY_DIR}/corpus-tools")
set(_corpus_tool_sources "${CMAKE_SOURCE_DIR}/tests/classfile/AsmTextCompare.java"
                         "${CMAKE_SOURCE_DIR}/tests/classfile/VerifyCorpus.java")
add_custom_command(OUTPUT "${_corpus_tools}/AsmTextCompare.class" "${_corpus_tools}/VerifyCorpus.class"
  COMMAND "${TALLYSCOPE_JAVAC}" -cp "${_asm_class_path}" -d "${_corpus_tools}" ${_corpus_tool_sources}
  DEPENDS ${_corpus_tool_sources} COMMENT "Compiling the corpus tools" VERBATIM)
add_custom_target(classfile_corpus_tools ALL
  DEPENDS "${_corpus_tools}/AsmTextCompare.class" "${_corpus_tools}/VerifyCorpus.class")

add_test(NAME classfile.corpus.extract
         COMMAND ${CMAKE_COMMAND} "-DJIMAGE=${_jimage}" "-DMODULES=${_modules}" "-DCORPUS=${_corpus}"
                 -P ${CMAKE_CURRENT_LIST_FILE})
set_tests_properties(classfile.corpus.extract PROPERTIES FIXTURES_SETUP classfile_corpus TIMEOUT 600)

add_test(NAME classfile.corpus.asm
         COMMAND "${TALLYSCOPE_JAVA}" -cp "${_asm_jar}:${_asm_classes}" AsmDump "${_corpus}" "${_asm_dump}")
set_tests_properties(classfile.corpus.asm PROPERTIES
  FIXTURES_SETUP classfile_asm FIXTURES_REQUIRED classfile_corpus TIMEOUT 600)

# Small classes that javac compiles from tests/classfile/fixtures, for the readers of probe annotations and
# the validation of probe classes. They use the Java side's own probe annotations, which are not copied.
file(GLOB_RECURSE _probe_fixture_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/classfile/fixtures/*.java)
file(GLOB _probe_annotation_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/java/com/brantel/probes/*.java)
set(_probe_fixtures "${CMAKE_BINARY_DIR}/probe-fixtures")
add_custom_command(OUTPUT "${_probe_fixtures}.stamp"
  COMMAND ${CMAKE_COMMAND} -E rm -rf "${_probe_fixtures}"
  COMMAND "${TALLYSCOPE_JAVAC}" -sourcepath "${CMAKE_SOURCE_DIR}/resources/java" -implicit:none -d "${_probe_fixtures}"
          ${_probe_fixture_sources}
  COMMAND ${CMAKE_COMMAND} -E touch "${_probe_fixtures}.stamp"
  DEPENDS ${_probe_fixture_sources} ${_probe_annotation_sources} COMMENT "Compiling the probe annotation fixtures" VERBATIM)
add_custom_target(classfile_probe_fixtures ALL DEPENDS "${_probe_fixtures}.stamp")

# tests/jvm/edited/Main.java compiled for the test that edits its methods and runs it under -Xverify:all.
set(_edit_fixture "${CMAKE_BINARY_DIR}/edit-fixture")
add_custom_command(OUTPUT "${_edit_fixture}/Main.class"
  COMMAND "${TALLYSCOPE_JAVAC}" -d "${_edit_fixture}" "${CMAKE_SOURCE_DIR}/tests/jvm/edited/Main.java"
  DEPENDS "${CMAKE_SOURCE_DIR}/tests/jvm/edited/Main.java"
  COMMENT "Compiling tests/jvm/edited/Main.java" VERBATIM)
add_custom_target(classfile_edit_fixture ALL DEPENDS "${_edit_fixture}/Main.class")

file(GLOB _corpus_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/classfile/*.cpp)
add_executable(classfile_corpus ${_corpus_sources})
target_link_libraries(classfile_corpus PRIVATE tallyscope_agent ${TALLYSCOPE_GTEST_MAIN})
gtest_discover_tests(classfile_corpus TEST_PREFIX "classfile.corpus." DISCOVERY_TIMEOUT 60
  PROPERTIES FIXTURES_REQUIRED classfile_asm TIMEOUT 600)
# A list given to PROPERTIES above reaches the discovered tests cut at its first ";", so their environment
# is set once they are known.
file(WRITE "${CMAKE_BINARY_DIR}/classfile_corpus_environment.cmake"
  "set_tests_properties(\${classfile_corpus_TESTS} PROPERTIES ENVIRONMENT [==[TALLYSCOPE_ASM_DUMP=${_asm_dump};"
  "TALLYSCOPE_PROBE_FIXTURES=${_probe_fixtures};TALLYSCOPE_JAVA=${TALLYSCOPE_JAVA};"
  "TALLYSCOPE_EDIT_FIXTURE=${_edit_fixture};TALLYSCOPE_CORPUS_TOOLS=${_corpus_tools};"
  "TALLYSCOPE_ASM_CLASSPATH=${_asm_class_path};${TALLYSCOPE_TEST_HOME}]==])\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${CMAKE_BINARY_DIR}/classfile_corpus_environment.cmake")
