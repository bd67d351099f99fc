#!/usr/bin/env bash
# Installs what is missing, builds what the panel needs, and starts it on the simulated device.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$repo_root"

install_missing "${build_packages[@]}"
build_targets default diopanel_launcher # the panel, its launcher and the simulated device

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<MSG
The panel is built, but there is no display to show it on (neither DISPLAY nor WAYLAND_DISPLAY is set).
Run it from a desktop session, or in a virtual display:
    apt-get install -y xvfb xauth && xvfb-run -a $repo_root/build/default/bin/diopanel
MSG
    exit 1
fi
exec "$repo_root/build/default/bin/diopanel"
