#!/usr/bin/env bash
# The host side of one Windows run, started by quarnsim --run with
# QUARNPROG_PORT set to the board's pseudo-terminal.
#
#   wine_host.sh COM1_LINK PORT_STATE_FILE QUARNPROG_EXE ARGS...
#
# Wine's COM1 is registered as COM1_LINK, so pointing that link at the
# pseudo-terminal hands this board to the program. The port gets hardware flow
# control switched on beforehand: the program must leave it as it found it. The
# port's settings after the run go to PORT_STATE_FILE, where the test reads the
# speed that the program left behind.
set -u

com1_link=$1
port_state=$2
exe=$3
shift 3

if [[ -z ${QUARNPROG_PORT:-} || ! -c $QUARNPROG_PORT ]]; then
  echo "wine_host: QUARNPROG_PORT does not name a terminal" >&2
  exit 125
fi
ln -sfn "$QUARNPROG_PORT" "$com1_link"
stty -F "$QUARNPROG_PORT" crtscts

# The board's terminal is the controlling terminal of quarnsim's session,
# which we share; timeout puts the program in a process group of its own, and
# a background group that sets the terminal's speed is stopped (SIGTTOU). So
# the program gets a session of its own, without a controlling terminal.
# Bounded: a hung program must not hold the test (the wineserver is the test's
# to stop).
setsid --wait timeout 150 wine "$exe" "$@"
status=$?

stty -F "$QUARNPROG_PORT" -a >"$port_state"
exit "$status"
