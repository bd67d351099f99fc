#!/usr/bin/env bash
# The panel installed without its bundled simulator and with no other device library, and with a bundled
# library that lacks operations: it must end at once with exit code 2 and a message that names the file,
# says what is wrong and how to provide one; with a display, in a dialog as well.
set -u
launcher=$1 panel=$2 incomplete=$3 closer=$4 private_libdir=$5
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/bin" "$tree/libexec/diopanel" "$tree/$private_libdir"
cp "$launcher" "$tree/bin/diopanel"
cp "$panel" "$tree/libexec/diopanel/diopanel"
bundled=$tree/$private_libdir/libkavren.so.1
failures=0

expect_refusal() { # name, what the message must also name
    local output status
    output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u LD_LIBRARY_PATH -u KAVREN_LIBRARY timeout 10 \
        "$tree/bin/diopanel" 2>&1)
    status=$?
    echo "$1: exit code $status: $output"
    if [ "$status" -ne 2 ]; then
        echo "FAIL $1: expected a prompt exit with code 2" >&2
        failures=$((failures + 1))
    fi
    for text in "$2" --library KAVREN_LIBRARY LD_LIBRARY_PATH --simulator; do
        if [[ "$output" != *"$text"* ]]; then
            echo "FAIL $1: the message does not name $text" >&2
            failures=$((failures + 1))
        fi
    done
}

expect_refusal "no library" "No device library libkavren.so.1 was found: none is named with --library or in KAVREN_LIBRARY, the system's loader finds none, and the bundled simulator $bundled does not exist."

cp "$incomplete" "$bundled"
expect_refusal "incomplete library" "$bundled (the bundled simulator) does not provide GetSWVersion, ReadPort, WritePort."

# From a desktop nobody reads stderr: with a display the same message comes up in a dialog.
rm "$bundled"
xvfb-run -a bash -c '
    "$1/bin/diopanel" 2>/dev/null &
    pid=$!
    for _ in $(seq 100); do "$2" "Test USB DIO" && break; sleep 0.1; done || exit 3
    wait $pid
' _ "$tree" "$closer"
status=$?
echo "with a display: exit code $status after the dialog was closed"
if [ "$status" -ne 2 ]; then
    echo "FAIL with a display: expected the dialog and exit code 2" >&2
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
