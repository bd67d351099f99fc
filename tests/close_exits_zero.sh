#!/usr/bin/env bash
# Starts the real panel on the simulated device in a virtual X display, closes its window as a window
# manager would, and expects the program to end with exit code 0.
set -u
panel=$1 closer=$2
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
"$panel" &
pid=$!
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
echo "exit code $status"
[ "$status" -eq 0 ]
