#!/usr/bin/env bash
# Starts the real panel on the simulated device in a virtual X display, closes its window as a window
# manager would, and expects the program to end with exit code 0. The window must belong to the panel
# proper in libexec/diopanel/, which the launcher became, running on the bundled simulator.
set -u
panel=$1 closer=$2 simulator=$3
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY "$panel" &
pid=$!
# The launcher maps the library too while it checks it: wait for the panel proper to have loaded it.
program="" library=""
for _ in $(seq 100); do
    program=$(readlink "/proc/$pid/exe")
    library=$(awk '/libkavren/ { print $6 }' "/proc/$pid/maps" 2>/dev/null | sort -u)
    [[ "$program" == */libexec/diopanel/diopanel && -n "$library" ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
for _ in $(seq 100); do
    "$closer" "Test USB DIO" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "the panel did not end within 10 s of its window being closed" >&2
    kill "$pid"
    exit 1
fi
wait "$pid"
status=$?
echo "exit code $status; the window was shown by $program on $library"
if [[ "$program" != */libexec/diopanel/diopanel ]] || [ "$library" != "$(readlink -f "$simulator")" ]; then
    echo "expected the panel proper on $(readlink -f "$simulator")" >&2
    exit 1
fi
[ "$status" -eq 0 ]
