# The JNI and JVMTI headers come from the installed JDK 17 for both targets. The Windows build replaces the
# JDK's Linux jni_md.h with our own (cmake/mingw/jni_md.h), so include/linux is never on its path.
if(DEFINED ENV{JAVA_HOME})
  set(_jdk_hint "$ENV{JAVA_HOME}")
endif()
find_path(TALLYSCOPE_JDK_INCLUDE jvmti.h
  HINTS "${_jdk_hint}/include"
  PATHS /usr/lib/jvm/java-17-openjdk-amd64/include /usr/lib/jvm/default-java/include
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
get_filename_component(TALLYSCOPE_JDK_HOME "${TALLYSCOPE_JDK_INCLUDE}" DIRECTORY)

# The host JDK's compiler and archiver build the agent's Java side for both targets (cmake/JavaSide.cmake).
set(TALLYSCOPE_JAVAC "${TALLYSCOPE_JDK_HOME}/bin/javac")
set(TALLYSCOPE_JAR "${TALLYSCOPE_JDK_HOME}/bin/jar")

if(WIN32)
  set(TALLYSCOPE_JNI_INCLUDE_DIRS "${CMAKE_SOURCE_DIR}/cmake/mingw" "${TALLYSCOPE_JDK_INCLUDE}")
else()
  set(TALLYSCOPE_JNI_INCLUDE_DIRS "${TALLYSCOPE_JDK_INCLUDE}" "${TALLYSCOPE_JDK_INCLUDE}/linux")
  set(TALLYSCOPE_JAVA "${TALLYSCOPE_JDK_HOME}/bin/java")
endif()
