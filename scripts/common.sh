# Shared by the set-up scripts: installs the Debian packages that are missing, once.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

install_missing() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
}

# What building the panel needs.
build_packages=(cmake ninja-build g++ make qt6-base-dev libcli11-dev zlib1g-dev fonts-liberation
    pybind11-dev python3-dev nlohmann-json3-dev)
# What the real-window tests and the Python module's tests add.
test_packages=(xvfb xauth libx11-dev xdotool imagemagick python3-pytest python3-mypy python3-numpy sigrok-cli
    gtkwave)
# What dio-mqtt needs to build, and its tests against a real broker with TLS.
build_packages+=(libmosquitto-dev libssl-dev)
test_packages+=(mosquitto mosquitto-clients python3-paho-mqtt openssl)
# What the Debian package and its checks add.
package_packages=(dpkg-dev help2man lintian desktop-file-utils appstream)
# What the libFuzzer targets add.
fuzz_packages=(clang libclang-rt-14-dev)

# build_preset PRESET [CONFIGURE-OPTION...]: configures and builds everything.
build_preset() {
    cmake --preset "$1" "${@:2}" >/dev/null
    cmake --build --preset "$1"
}

# build_targets PRESET TARGET...: configures, then builds only those targets and what they need.
build_targets() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target "${@:2}"
}
