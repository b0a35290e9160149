# The class-file corpus: every class of the installed JDK's runtime image as real input for the class-file
# model, and ASM (Debian's libasm-java) as the independent reader that the model is compared with.
#   classfile.corpus.extract  fixture: extracts the image into <build>/class-corpus once per build directory
#                             (a stamp file remembers which image was extracted)
#   classfile.corpus.asm      fixture: tests/classfile/AsmDump.java reads the whole corpus in one JVM and
#                             writes what ASM sees into <build>/class-corpus-asm
#   classfile.corpus.*        the GoogleTest cases of tests/classfile/*.cpp, which compare the two; they
#                             find the dump through TALLYSCOPE_ASM_DUMP and the corpus through the dump
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
set(_corpus "${CMAKE_BINARY_DIR}/class-corpus")
set(_asm_dump "${CMAKE_BINARY_DIR}/class-corpus-asm")
set(_asm_classes "${CMAKE_BINARY_DIR}/asm-dump-classes")

# A missing prerequisite fails the test run instead of silently dropping the corpus tests.
foreach(_needed IN ITEMS "${_asm_jar}" "${_modules}" "${_jimage}")
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

add_test(NAME classfile.corpus.extract
         COMMAND ${CMAKE_COMMAND} "-DJIMAGE=${_jimage}" "-DMODULES=${_modules}" "-DCORPUS=${_corpus}"
                 -P ${CMAKE_CURRENT_LIST_FILE})
set_tests_properties(classfile.corpus.extract PROPERTIES FIXTURES_SETUP classfile_corpus TIMEOUT 600)

add_test(NAME classfile.corpus.asm
         COMMAND "${TALLYSCOPE_JAVA}" -cp "${_asm_jar}:${_asm_classes}" AsmDump "${_corpus}" "${_asm_dump}")
set_tests_properties(classfile.corpus.asm PROPERTIES
  FIXTURES_SETUP classfile_asm FIXTURES_REQUIRED classfile_corpus TIMEOUT 600)

file(GLOB _corpus_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/classfile/*.cpp)
add_executable(classfile_corpus ${_corpus_sources})
target_link_libraries(classfile_corpus PRIVATE tallyscope_agent ${TALLYSCOPE_GTEST_MAIN})
gtest_discover_tests(classfile_corpus TEST_PREFIX "classfile.corpus." DISCOVERY_TIMEOUT 60
  PROPERTIES FIXTURES_REQUIRED classfile_asm TIMEOUT 600
             ENVIRONMENT "TALLYSCOPE_ASM_DUMP=${_asm_dump};${TALLYSCOPE_TEST_HOME}")
