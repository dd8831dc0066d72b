#!/usr/bin/env bash
# quarnprog.exe must run on a bare Windows: a 64-bit executable that imports
# nothing but system DLLs (the GCC and C++ runtimes linked in), and whose
# serial and timing calls are KERNEL32's own.
#
#   exe_imports.sh QUARNPROG_EXE
#
# Exit 0 pass, 1 fail, 77 skipped (the reason on stdout).
set -u

exe=$1
objdump=x86_64-w64-mingw32-objdump

skip() {
  echo "SKIPPED: $*"
  exit 77
}
command -v "$objdump" >/dev/null || skip "$objdump is not installed (Debian: binutils-mingw-w64-x86-64)"
[[ -f $exe ]] || skip "$exe is not built: run 'make windows' (needs g++-mingw-w64-x86-64)"

dump=$("$objdump" -p "$exe") || {
  echo "FAIL: $objdump cannot read $exe"
  exit 1
}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

grep -q 'file format pei-x86-64' <<<"$dump" || fail "$exe is not an x86-64 PE executable"

# The DLLs every Windows has. Anything else (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll...) would have to ship beside the
# program.
dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$dump")
[[ -n $dlls ]] || fail "no imported DLL found in $exe"
for dll in $dlls; do
  case ${dll,,} in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
    *) fail "$exe imports $dll, which is not a system DLL" ;;
  esac
done

kernel32_imports=$(awk '
  /DLL Name:/ { dll = tolower($3); next }
  dll == "kernel32.dll" && NF >= 3 && $2 ~ /^[0-9]+$/ { print $3 }
' <<<"$dump")
for function in CreateFileA GetCommState SetCommState GetCommTimeouts SetCommTimeouts \
  ReadFile WriteFile GetLastError Sleep; do
  grep -qx "$function" <<<"$kernel32_imports" || fail "$function is not imported from KERNEL32.dll"
done

if ((failures)); then
  echo "imported DLLs: ${dlls//$'\n'/ }"
  exit 1
fi
echo "PASS: $exe imports only ${dlls//$'\n'/ }"
