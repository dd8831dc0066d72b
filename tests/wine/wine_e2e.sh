#!/usr/bin/env bash
# quarnprog.exe, the Windows build on the real Win32 API, end to end under
# Wine: Wine's COM1 is the pseudo-terminal on which quarnsim plays the board.
#
#   wine_e2e.sh QUARNPROG_EXE QUARNSIM
#
# Runs: the usage text; a full flash (with a NAKed frame and packet on the
# way); a flash writer that abandons the feed. Each uses a small flash writer
# (2 KiB) and image (4 KiB) holding every byte value, so the line must be
# transparent. Exit 0 pass, 1 fail, 77 skipped (the reason on stdout).
set -u

exe=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[[ -z ${QUARNPROG_WINE_SKIP:-} ]] || skip "$QUARNPROG_WINE_SKIP"
for tool in wine wineboot wineserver; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (Debian: wine64)"
done
[[ -f $exe ]] || skip "$exe is not built: run 'make windows' (needs g++-mingw-w64-x86-64)"
[[ -x $sim ]] || {
  echo "FAIL: simulator $sim not found"
  exit 1
}
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
sim=$(cd "$(dirname "$sim")" && pwd)/$(basename "$sim")

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnprog-wine.XXXXXX")
# A prefix of our own, no display, no Mono/Gecko installers, no desktop
# entries: nothing of this run leaks into the user's home or Wine setup.
export HOME=$work/home
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
mkdir -p "$HOME"

cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1
  timeout 30 wineserver -w >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*"
  exit 1
}
show() {  # FILE [LINES]: the tail of a log, for a failure's diagnosis
  [[ -s $1 ]] || return 0
  echo "---- ${1#"$work"/} (tail)"
  tail -n "${2:-25}" "$1" | cat -v
}

# --- The prefix, with COM1 on a link of ours --------------------------------
# Wine rebuilds dosdevices/com1 at every start, from the first serial device
# it finds unless the registry names the port. So the registry names a link
# in our directory, and each run points that link at its own board. Until a
# run does, the link leads nowhere.
com1=$work/com1
ln -sfn "$work/no-board-yet" "$com1"

echo "creating the Wine prefix"
timeout 180 wineboot -i >"$work/wineboot.log" 2>&1 || {
  show "$work/wineboot.log"
  die "wineboot -i failed"
}
# wineboot has just mapped COM1 to the first serial device of the machine;
# nothing opens it before the restart below, and until then it points at our
# link as well.
ln -sfn "$com1" "$WINEPREFIX/dosdevices/com1"
timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1" /f \
  >"$work/reg.log" 2>&1 || {
  show "$work/reg.log"
  die "cannot set COM1 in the registry"
}
timeout 30 wineserver -k
timeout 30 wineserver -w

# One server for all runs; it ends 60 s after its last client at the latest,
# should this script be killed before its cleanup.
wineserver -p60 >"$work/wineserver.log" 2>&1 || die "cannot start the wineserver"
timeout 60 wine reg query 'HKLM\Software\Wine\Ports' /v COM1 >"$work/reg.log" 2>&1 ||
  die "cannot read COM1 back from the registry"
com1_is_ours() { [[ $(readlink "$WINEPREFIX/dosdevices/com1") == "$com1" ]]; }
com1_is_ours || die "COM1 maps to '$(readlink "$WINEPREFIX/dosdevices/com1")', not to $com1"
echo "COM1 -> $com1"

# --- Input files --------------------------------------------------------------
pattern_file() {  # SIZE SEED FILE: each 256-byte block holds every byte value once
  local size=$1 seed=$2 i octal
  for ((i = 0; i < size; i++)); do
    printf -v octal '%03o' $(((i * 37 + seed + (i >> 8) * 11) & 255))
    printf '%b' "\\0$octal"
  done >"$3"
}
pattern_file 2048 5 "$work/writer.bin"
pattern_file 4096 200 "$work/image.bin"

# --- Usage: any count of arguments but two ------------------------------------
# Standard output of a Windows console program is in text mode: "\n" goes out
# as "\r\n".
printf '%s\r\n' "Proper command for invoking this application is:" "" \
  "   quarnprog pel_pgm_name bios_filename" "" \
  "pel_pgm_name must identify the file (with extension) for" \
  "   Quarn PEL application for programming your flash" \
  "bios_filename must identify the file to be burnt into the flash" >"$work/usage.expected"
for args in "" "writer.bin" "writer.bin image.bin extra"; do
  # shellcheck disable=SC2086 # the arguments split on purpose
  (cd "$work" && timeout 60 wine "$exe" $args >usage.out 2>usage.err)
  status=$?
  ((status == 1)) || fail "usage with arguments '$args': exit status $status, expected 1"
  cmp -s "$work/usage.expected" "$work/usage.out" || {
    fail "usage with arguments '$args': not the usage text"
    show "$work/usage.out"
  }
done

# --- Runs against the board ---------------------------------------------------
segment=7c40
# The monitor commands with the host's speed as the board saw it: the speed
# command at 9600, everything after it at 38400 (blanks squeezed).
printf '%s\n' "9600 speed 38 0" "38400 dls" "38400 yload $segment:0" "38400 g $segment:0" \
  "38400 db $segment:0" "38400 d" "38400 speed 96 0" >"$work/commands.expected"

run_status=0
run_board() {  # NAME QUARNSIM_OPTIONS...: one run of the program against a fresh board
  local name=$1
  shift
  com1_is_ours || die "COM1 no longer maps to $com1"
  echo "run '$name': quarnsim $*"
  # The board powers up 4 s after start, when the program, started at once,
  # has long opened its port and waits for the start-up text (up to 30 s).
  (cd "$work" && timeout 240 "$sim" --power-up-ms 4000 --segment "$segment" \
    --transcript "$name.transcript" --pel-out "$name.pel" --flash-out "$name.flash" "$@" \
    --run bash "$here/wine_host.sh" "$com1" "$name.port" "$exe" writer.bin image.bin \
    >"$name.out" 2>"$name.err")
  run_status=$?
}
diagnose() {  # NAME
  show "$work/$1.out" 40
  show "$work/$1.err"
  show "$work/$1.transcript"
}
check_speeds() {  # NAME: raised for the flash, and back at 9600 at the end
  local name=$1 commands
  commands=$(tr -s ' ' <"$work/$name.transcript" | sed 's/ $//' | grep -v '^[0-9]*$')
  diff <(echo "$commands") "$work/commands.expected" >"$work/$name.diff" || {
    fail "$name: monitor commands or speeds differ from the expected ones"
    cat "$work/$name.diff"
  }
  grep -q 'speed 9600 baud' "$work/$name.port" ||
    fail "$name: the program left the port at '$(grep -o 'speed [0-9]* baud' "$work/$name.port")'"
  # Hardware flow control was on before the run, and only speed, framing
  # and NUL handling are the program's to change.
  grep -qE -- '(^| )crtscts( |$)' "$work/$name.port" || fail "$name: the port lost its hardware flow control"
}

run_board flash --nak-frame 2:1 --nak-packet 3:1
if ((run_status != 0)); then
  fail "flash: exit status $run_status, expected 0"
  diagnose flash
else
  check_speeds flash
  cmp -s "$work/writer.bin" "$work/flash.pel" || fail "flash: the loader did not store the flash writer"
  cmp -s "$work/image.bin" "$work/flash.flash" || fail "flash: the flash does not hold the image"
  grep -q $'^Serial port COM1 successfully reconfigured.\r$' "$work/flash.out" ||
    fail "flash: no banner on the console"
fi

run_board abandoned --esc-at-packet 2
if ((run_status != 2)); then
  fail "abandoned: exit status $run_status, expected 2"
  diagnose abandoned
else
  check_speeds abandoned
  flashed=$(stat -c %s "$work/abandoned.flash")
  if ((flashed >= 4096)) || ! cmp -s -n "$flashed" "$work/image.bin" "$work/abandoned.flash"; then
    fail "abandoned: the flash holds $flashed bytes that are not the start of the image"
  fi
fi

# Nobody may take the board's pseudo-terminal as controlling terminal; the
# wineserver would flood its log with hang-ups when the board goes.
if (($(wc -l <"$work/wineserver.log") > 20)); then
  fail "the wineserver logged $(wc -l <"$work/wineserver.log") lines"
  show "$work/wineserver.log" 10
fi

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "PASS: quarnprog.exe under Wine: usage, full flash, abandoned flash"
