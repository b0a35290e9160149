#!/bin/sh
# Loads the agent into a real JVM both ways the JVM offers and checks, from inside the running Java
# program, that the library is mapped into the process. Usage: smoke.sh JAVA LIBRARY
set -eu
java=$1 lib=$2
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

expect_mapped() { # name of the run, file with its output
  grep -qx "$lib" "$2" || { cat "$2"; echo "$1: $lib is not mapped into the JVM"; exit 1; }
}

"$java" -agentpath:"$lib" "$here/MappedLibraries.java" tallyscope >"$out/agentpath.txt" 2>&1 || {
  cat "$out/agentpath.txt"; echo "java -agentpath failed"; exit 1; }
expect_mapped "-agentpath" "$out/agentpath.txt"

# -agentlib:tallyscope resolves through the library search path.
LD_LIBRARY_PATH=$(dirname "$lib") "$java" -agentlib:tallyscope "$here/MappedLibraries.java" tallyscope \
  >"$out/agentlib.txt" 2>&1 || { cat "$out/agentlib.txt"; echo "java -agentlib:tallyscope failed"; exit 1; }
expect_mapped "-agentlib" "$out/agentlib.txt"

# Without the agent the library is not there, so the checks above see the agent's own load.
"$java" "$here/MappedLibraries.java" tallyscope >"$out/none.txt" 2>&1
if grep -q tallyscope "$out/none.txt"; then cat "$out/none.txt"; echo "library mapped without the agent"; exit 1; fi
echo "agent loaded by -agentpath and -agentlib"
