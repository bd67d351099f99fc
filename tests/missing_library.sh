#!/usr/bin/env bash
# The panel installed without its device library, and with a library that lacks operations: it must end
# at once with a non-zero exit code and a message that names the library and says how to provide it; with
# a display, in a dialog as well.
set -u
launcher=$1 panel=$2 incomplete=$3 closer=$4
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/bin" "$tree/libexec" "$tree/lib"
cp "$launcher" "$tree/bin/diopanel"
cp "$panel" "$tree/libexec/diopanel"
failures=0

expect_refusal() { # name, what the message must also name
    local output status
    output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u LD_LIBRARY_PATH timeout 10 "$tree/bin/diopanel" 2>&1)
    status=$?
    echo "$1: exit code $status: $output"
    if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then
        echo "FAIL $1: expected a prompt non-zero exit" >&2
        failures=$((failures + 1))
    fi
    for text in libkavren.so.1 LD_LIBRARY_PATH "$tree/lib/libkavren.so.1" "$2"; do
        if [[ "$output" != *"$text"* ]]; then
            echo "FAIL $1: the message does not name $text" >&2
            failures=$((failures + 1))
        fi
    done
}

expect_refusal "no library" "cannot be loaded"

cp "$incomplete" "$tree/lib/libkavren.so.1"
expect_refusal "incomplete library" "GetSWVersion, ReadPort, WritePort"

# From a desktop nobody reads stderr: with a display the same message comes up in a dialog.
rm "$tree/lib/libkavren.so.1"
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
