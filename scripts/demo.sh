#!/usr/bin/env bash
# Flashes the virtual board through the real program and the real Linux
# serial layer: the board runs on a pseudo-terminal of its own, quarnprog
# talks to it as to COM1, and afterwards the board tells what its flash holds.
set -u
build=${1:-build}
demo=$build/demo
writer=$demo/qflash.bin
image=$demo/bios.img

for file in "$build/quarnprog" "$build/sim/quarnsim" "$writer" "$image"; do
  [ -e "$file" ] || { echo "demo: $file is missing; run 'make demo' from the top" >&2; exit 1; }
done

echo "== quarnprog $writer $image, against the virtual board =="
echo
"$build/sim/quarnsim" --image "$image" --flash-out "$demo/flash.bin" \
  --transcript "$demo/commands.txt" --pel-out "$demo/loaded.bin" \
  --run "$build/quarnprog" "$writer" "$image"
status=$?

echo
echo "== what the board saw =="
echo "monitor commands, with the host's line speed at each:"
sed 's/^/  /' "$demo/commands.txt"
if cmp -s "$writer" "$demo/loaded.bin"; then
  echo "flash writer loaded into RAM: identical to $writer ($(stat -c %s "$writer") bytes)"
else
  echo "flash writer loaded into RAM: DIFFERS from $writer"
fi
echo "quarnprog exit status: $status"
exit $status
