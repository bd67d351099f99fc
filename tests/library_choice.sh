#!/usr/bin/env bash
# Which device library the launcher picks, by its --version (which needs no display), and what the panel
# it becomes really maps. Every row runs without a display and without KAVREN_LIBRARY, LD_LIBRARY_PATH or
# QT_QPA_PLATFORM unless the row sets them.
set -u
launcher=$1 bundled=$2 standin=$3 incomplete=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/vendor" "$work/junk" "$work/empty" "$work/fifo"
mkfifo "$work/fifo/libkavren.so.1" # opened for reading, it would wait for a writer for good
cp "$standin" "$work/vendor/libkavren.so.1"
echo "not a library" >"$work/junk/libkavren.so.1"
vendor=$work/vendor/libkavren.so.1
esc=$(printf '\033') # a terminal's escape in a path: shown as \x1B, never sent as it is
mkdir -p "$work/odd${esc}[2J"
cp "$standin" "$work/odd${esc}[2J/libkavren.so.1"
failures=0

run() { # directory, environment, arguments...
    local directory=$1 environment=$2
    shift 2
    # shellcheck disable=SC2086 # the environment column is a list of assignments
    (cd "$directory" && env -u DISPLAY -u WAYLAND_DISPLAY -u KAVREN_LIBRARY -u LD_LIBRARY_PATH \
        -u QT_QPA_PLATFORM $environment timeout 10 "$launcher" "$@" 2>&1)
}

# name | directory | environment | arguments | exit code | text the output must contain
while IFS='|' read -r name directory environment arguments code text; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086 # the arguments column is split into words
    output=$(run "$directory" "$environment" $arguments)
    status=$?
    if [ "$status" -ne "$code" ] || [[ "$output" != *"$text"* ]]; then
        echo "FAIL $name: exit code $status (expected $code), output:" >&2
        echo "$output" >&2
        echo "  expected to contain: $text" >&2
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
done <<ROWS
bundled simulator by default|$work/empty||--version|0|Device library: $bundled (the bundled simulator)
--library, a good library|$work/empty||--version --library $vendor|0|Device library: $vendor (named with --library)
--library=PATH|$work/empty||--version --library=$vendor|0|Device library: $vendor (named with --library)
--library, a missing file|$work/empty||--version --library $work/none.so.1|2|$work/none.so.1 (named with --library) does not exist
--library, an incomplete library|$work/empty||--library $incomplete|2|does not provide GetSWVersion, ReadPort, WritePort
--library, a file that is no library|$work/empty||--library $work/junk/libkavren.so.1|2|$work/junk/libkavren.so.1 (named with --library) cannot be loaded
--library, a relative path is not searched|$work/vendor|LD_LIBRARY_PATH=$work/junk|--version --library libkavren.so.1|0|Device library: $vendor (named with --library)
KAVREN_LIBRARY|$work/empty|KAVREN_LIBRARY=$vendor|--version|0|Device library: $vendor (named in KAVREN_LIBRARY)
KAVREN_LIBRARY, an incomplete library|$work/empty|KAVREN_LIBRARY=$incomplete|--version|2|does not provide GetSWVersion
--library beats KAVREN_LIBRARY|$work/empty|KAVREN_LIBRARY=$incomplete|--version --library $vendor|0|Device library: $vendor (named with --library)
KAVREN_LIBRARY, a FIFO is refused, not waited on|$work/empty|KAVREN_LIBRARY=$work/fifo/libkavren.so.1|--version|2|$work/fifo/libkavren.so.1 (named in KAVREN_LIBRARY) is not a regular file
KAVREN_LIBRARY, a directory|$work/empty|KAVREN_LIBRARY=$work/vendor|--version|2|$work/vendor (named in KAVREN_LIBRARY) is not a regular file
KAVREN_LIBRARY beats LD_LIBRARY_PATH|$work/empty|KAVREN_LIBRARY=$vendor LD_LIBRARY_PATH=$work/junk|--version|0|Device library: $vendor (named in KAVREN_LIBRARY)
LD_LIBRARY_PATH|$work/empty|LD_LIBRARY_PATH=$work/vendor|--version|0|Device library: $vendor (found by the system's loader)
LD_LIBRARY_PATH, a broken library is no reason to fall back|$work/empty|LD_LIBRARY_PATH=$work/junk|--version|2|$work/junk/libkavren.so.1 on LD_LIBRARY_PATH) cannot be loaded
LD_LIBRARY_PATH, a FIFO is refused, not waited on|$work/empty|LD_LIBRARY_PATH=$work/fifo:$work/vendor|--version|2|$work/fifo/libkavren.so.1 on LD_LIBRARY_PATH) is not a regular file
LD_LIBRARY_PATH unset, junk in the current directory|$work/junk||--version|0|Device library: $bundled (the bundled simulator)
LD_LIBRARY_PATH empty, junk in the current directory|$work/junk|LD_LIBRARY_PATH=|--version|0|Device library: $bundled (the bundled simulator)
an empty entry at the end is the current directory|$work/vendor|LD_LIBRARY_PATH=$work/empty:|--version|0|Device library: $vendor (found by the system's loader)
an empty entry at the start is the current directory|$work/vendor|LD_LIBRARY_PATH=:$work/empty|--version|0|Device library: $vendor (found by the system's loader)
an empty entry inside is the current directory|$work/junk|LD_LIBRARY_PATH=$work/empty::/nonexistent|--version|2|$work/junk/libkavren.so.1 on LD_LIBRARY_PATH) cannot be loaded
a control in a missing path is escaped|$work/empty||--version --library $work/${esc}[31m.so|2|$work/\x1B[31m.so (named with --library) does not exist
a control in a loaded path is escaped|$work/empty||--version --library $work/odd${esc}[2J/libkavren.so.1|0|Device library: $work/odd\x1B[2J/libkavren.so.1 (named with --library)
a control in an unknown option is escaped|$work/empty||--x${esc}]0;title|2|diopanel: unknown argument --x\x1B]0;title
a control in DISPLAY is escaped in Qt's message|$work/empty|DISPLAY=${esc}[31mnone|--simulator|134|could not connect to display \x1B[31mnone
--simulator beats everything else|$work/junk|KAVREN_LIBRARY=$incomplete LD_LIBRARY_PATH=$work/junk|--version --simulator|0|Device library: $bundled (the bundled simulator)
--simulator with --library is bad usage|$work/empty||--simulator --library $vendor|2|--library and --simulator cannot be used together
--library without a path is bad usage|$work/empty||--library|2|--library needs a path
--library= is an empty path, bad usage|$work/empty||--library= --simulator|2|--library needs a path
an unknown option is bad usage|$work/empty||--verbose|2|Usage: diopanel
an argument is bad usage|$work/empty||file.txt|2|Usage: diopanel
--help needs no display|$work/empty||--help|0|xvfb-run -a diopanel
no display|$work/empty|||1|xvfb-run -a diopanel
no display, the xcb platform asked for|$work/empty|QT_QPA_PLATFORM=xcb||1|xvfb-run -a diopanel
no display and a bad library: the library first|$work/empty||--library $incomplete|2|does not provide
ROWS

# A problem's own line breaks stay line breaks: only what paths and libraries bring is escaped.
if [[ "$(run "$work/empty" "" --library "$incomplete")" == *'\x0A'* ]]; then
    echo "FAIL a library problem keeps its line breaks" >&2
    failures=$((failures + 1))
else
    echo "ok   a library problem keeps its line breaks"
fi

# The panel the launcher becomes maps the very file the launcher chose. Offscreen needs no display.
panel_maps() { # directory, environment, arguments... -> the device libraries the running panel maps
    local directory=$1 environment=$2 pid
    shift 2
    # shellcheck disable=SC2086
    (cd "$directory" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u KAVREN_LIBRARY -u LD_LIBRARY_PATH \
        QT_QPA_PLATFORM=offscreen $environment "$launcher" "$@") >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 50); do
        grep -q libkavren "/proc/$pid/maps" 2>/dev/null && kill -0 "$pid" 2>/dev/null &&
            [ "$(readlink "/proc/$pid/exe")" != "$(readlink -f "$launcher")" ] && break
        sleep 0.1
    done
    sleep 0.5
    if kill -0 "$pid" 2>/dev/null; then
        awk '/libkavren/ { print $6 }' "/proc/$pid/maps" | sort -u
        kill "$pid"
    else
        echo "the panel did not keep running"
    fi
    wait "$pid" 2>/dev/null
}

while IFS='|' read -r name directory environment arguments expected; do
    # shellcheck disable=SC2086
    mapped=$(panel_maps "$directory" "$environment" $arguments)
    if [ "$mapped" != "$(readlink -f "$expected")" ]; then
        echo "FAIL $name: the panel maps '$mapped', expected $(readlink -f "$expected")" >&2
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
done <<ROWS
panel starts on the simulator, LD_LIBRARY_PATH unset, junk here|$work/junk|||$bundled
panel starts on the simulator, LD_LIBRARY_PATH empty, junk here|$work/junk|LD_LIBRARY_PATH=||$bundled
panel uses the library named with --library|$work/empty||--library $vendor|$vendor
ROWS
[ "$failures" -eq 0 ]
