#!/bin/sh
# Checks that the shared library exports exactly the entry points: the JVMTI functions, the JNI natives
# (Java_*) and the named plain *Impl functions. Usage: check_exports.sh linux|windows LIBRARY TOOL
set -eu
target=$1 lib=$2 tool=$3
if [ "$target" = linux ]; then
  symbols=$("$tool" -D --defined-only "$lib" | awk '{print $3}')
else
  # objdump -p lists the names after the "[Ordinal/Name Pointer] Table" line, one "[ n] name" each.
  symbols=$("$tool" -p "$lib" | awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                                    on && /^[ \t]*$/ { on = 0 }
                                    on { print $NF }')
fi
allowed='^(Agent_OnLoad|Agent_OnAttach|Agent_OnUnload|Java_[A-Za-z0-9_]+|getWinRegStringValueImpl|getWinRegIntValueImpl|createWinRegKeyImpl|setWinRegStringValueImpl|setWinRegIntValueImpl|deleteWinRegValueImpl|getProcessBitnessImpl|isAdministratorImpl)$'
stray=$(printf '%s\n' "$symbols" | grep -v -E "$allowed" | grep -v -E '^$' || true)
if [ -n "$stray" ]; then
  echo "unexpected exports in $lib:"; printf '%s\n' "$stray"; exit 1
fi
for required in Agent_OnLoad Agent_OnAttach Agent_OnUnload; do
  printf '%s\n' "$symbols" | grep -qx "$required" || { echo "missing export $required in $lib"; exit 1; }
done
echo "exports of $lib: $(printf '%s\n' "$symbols" | grep -c .) entry points, nothing else"
