#!/usr/bin/env bash
# The real panel while dio-sim drives the simulated device, in a virtual X display. The panel polls
# DIO-SIM-0001; unplugging it must put an error in the status line within 300 ms, plugging it back must
# blank the line again. Then a manual device set to 0xA5 / 0x3C must show those patterns on lamps 1-16.
# The status line is judged blank or not from the colours in its part of a screenshot.
set -u
panel=$1 diosim=$2
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
export KAVREN_SIM_STATE="$work/kavren-sim.state"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
sim() { "$diosim" "$@" || fail "dio-sim $* exited $?"; }

sim reset
"$panel" &
pid=$!
source "$(dirname "$0")/panel_window.sh"
find_panel_window
status_colours() { # number of distinct colours in the status line's text area
    convert "$work/shot.png" -crop "400x17+$((x0 + 4))+$((y0 + 349))" +repage -format "%k" info:
}

click 156 104 # Get Devices: DIO-SIM-0001 is selected and polled
shoot
[ "$(status_colours)" = 1 ] || fail "the status line is not blank while DIO-SIM-0001 is polled"

start=$(date +%s%N)
sim unplug DIO-SIM-0001
sleep "$(awk -v s="$start" -v n="$(date +%s%N)" 'BEGIN { r = 0.3 - (n - s) / 1e9; print (r > 0 ? r : 0) }')"
shoot
colours=$(status_colours)
echo "status line 300 ms after the unplug: $colours colours"
[ "$colours" -gt 1 ] || fail "no error in the status line within 300 ms of the unplug"

sim plug DIO-SIM-0001
sleep 0.4
shoot
colours=$(status_colours)
echo "status line after the plug: $colours colours"
[ "$colours" = 1 ] || fail "the status line is not blank after the plug"

# A manual device alone in the list, so Get Devices selects it.
sim remove DIO-SIM-0001
sim remove DIO-SIM-0002
sim add MANUAL-1 "Manual inputs" --mode manual
sim set MANUAL-1 0x00 0xA5
sim set MANUAL-1 1 0b00111100
click 156 104
sleep 0.3
shoot
for check in "0x00 1 0xA5" "0x01 9 0x3C"; do
    read -r port first expected <<<"$check"
    got=$(port_value "$first")
    echo "port $port shows $got"
    [ "$got" = "$expected" ] || fail "port $port shows $got, expected $expected"
done
[ "$failures" -eq 0 ]
