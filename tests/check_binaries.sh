#!/bin/sh
# Checks a built compreh.dll and Tavrel.exe: exports exactly DllGetClassObject and
# DllCanUnloadNow (undecorated), and imports no MinGW runtime DLL.
set -u
objdump=$1 dll=$2 exe=$3
fail=0
exports=$($objdump -p "$dll" | awk '/Ordinal\/Name Pointer/{t=1;next} t&&NF==0{t=0} t{print $NF}' | sort | tr '\n' ' ')
if [ "$exports" != "DllCanUnloadNow DllGetClassObject " ]; then
  echo "compreh.dll exports '$exports', expected exactly DllCanUnloadNow DllGetClassObject"; fail=1
fi
for f in "$dll" "$exe"; do
  imports=$($objdump -p "$f" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
  bad=$(printf '%s\n' "$imports" | grep -E 'libstdc|libgcc|libwinpthread|mingw' || true)
  if [ -n "$bad" ]; then echo "$f imports runtime DLLs: $bad"; fail=1; fi
  echo "$(basename "$f") imports: $(printf '%s ' $imports)"
done
[ $fail -eq 0 ] && echo "binaries ok"
exit $fail
