#!/usr/bin/env bash
# The real panel on the simulated device, worked with the mouse in a virtual X display: "Get Devices",
# toggle three output lamps, "Set Ports". Device DIO-SIM-0001 wires its outputs to its inputs, so the
# input lamps must then show what was written. Lamp colours are read off a screenshot. With a second
# argument the screenshot is kept there.
set -u
panel=$1 shot=${2:-}
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
export KAVREN_SIM_STATE="$work/kavren-sim.state" # fresh devices, outputs at 0x00; never the user's

"$panel" &
pid=$!
source "$(dirname "$0")/panel_window.sh"
find_panel_window

click 156 104                         # Get Devices: outputs of the simulator start at 0x00
for k in 17 19 32; do click $(lamp_centre $k); done # bits 0 and 2 of port 0x10, bit 7 of port 0x11
click 388 296                         # Set Ports
sleep 0.5
shoot
[ -n "$shot" ] && cp "$work/shot.png" "$shot"

status=0
expect() {
    local got
    got=$(port_value "$2")
    if [ "$got" = "$3" ]; then
        echo "port $1 shows $got"
    else
        echo "port $1 shows $got, expected $3" >&2
        status=1
    fi
}
expect 0x00 1 0x05
expect 0x01 9 0x80
expect 0x10 17 0x05
expect 0x11 25 0x80
exit $status
