#!/usr/bin/env bash
# Makes the README's picture of the panel: the panel on the simulated device in a virtual X display,
# after "Get Devices", three output lamps toggled, "Set Ports" and "Get SW Version", saved as docs/panel.png.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$repo_root"
if [ -z "${DISPLAY:-}" ]; then
    install_missing "${build_packages[@]}" xvfb xauth xdotool imagemagick
    build_preset default
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
work=$(mktemp -d)
export KAVREN_SIM_STATE=$work/sim.state
build/default/bin/diopanel --simulator &
pid=$!
trap 'kill $pid 2>/dev/null; rm -rf "$work"' EXIT
window=$(timeout 10 xdotool search --sync --name "^Test USB DIO$" | head -1)
[ -n "$window" ] || { echo "the panel's window did not appear" >&2; exit 1; }
sleep 0.3
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 0.3; }
click 156 104 # Get Devices
for x in 232 184 64; do click "$x" 240; done # output lamps 17, 19 and 24
click 388 296 # Set Ports
click 380 104 # Get SW Version
mkdir -p docs
import -window "$window" docs/panel.png
echo "docs/panel.png"
