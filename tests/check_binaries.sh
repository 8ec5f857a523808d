#!/bin/sh
# Checks a built compreh.dll and Tavrel.exe: exports exactly DllGetClassObject and
# DllCanUnloadNow (undecorated), imports no MinGW runtime DLL, and compreh.dll contains none of
# the thread runtime that it replaces.
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
# compreh.dll replaces the thread runtime's once, mutex and thread-local functions, because the
# runtime's versions keep per-thread data and a TLS slot per load for ever (and its guard
# objects and thread-local destructors need them). Whatever else of winpthread, libgcc's
# emulated TLS or the C++ guards is linked in means a function-local static with dynamic
# initialisation, a thread_local with a destructor, a std::mutex variant or a sleep: the leak
# at unload again, or a recursive lock on the replacement's plain one.
nm=${objdump%objdump}nm
# 32-bit C symbols carry one more leading underscore.
ours='^_*(pthread_once|pthread_mutex_(init|destroy|lock|unlock)|emutls_get_address)(\.cold)?$'
runtime=$($nm "$dll" | awk '{print $NF}' |
  grep -E '^_*(pthread_|emutls_|cxa_guard_|cxa_thread_atexit|nanosleep|clock_gettime|sched_|WinPthread)' |
  grep -vE "$ours" | sort -u | tr '\n' ' ')
if [ -n "$runtime" ]; then
  echo "compreh.dll links the thread runtime it must not carry: $runtime"; fail=1
fi
[ $fail -eq 0 ] && echo "binaries ok"
exit $fail
