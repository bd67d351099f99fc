#!/usr/bin/env bash
# The Debian packages as a user gets them: built with CPack in the given build directory, checked by
# lintian (any error fails; warnings are listed), the desktop entry and metainfo validated, then unpacked
# into a temporary directory and run from there: `dio list` on the bundled simulator, the panel in a
# virtual X display, closed as a window manager would, and the Python module (python3-dio, when the build
# makes it) imported by the system's Python, listing the simulated devices of the unpacked tree.
set -u
build=$1 closer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

(cd "$build" && rm -f diopanel_*.deb python3-dio_*.deb dio-mqtt_*.deb && cpack -G DEB >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack"; exit 1; }
names=(diopanel)
grep -q '^DIOPANEL_PYTHON:BOOL=ON' "$build/CMakeCache.txt" && names+=(python3-dio)
names+=(dio-mqtt)
packages=()
for name in "${names[@]}"; do
    package=$(ls "$build"/"$name"_*_amd64.deb 2>/dev/null | head -1)
    [ -n "$package" ] || { fail "no ${name}_<version>_amd64.deb in $build"; exit 1; }
    echo "package: $package"
    dpkg-deb --field "$package" Package Version Section Depends
    packages+=("$package")
done

# The Python package as type checkers and pytest find it: the stub, py.typed and the fixtures' entry point.
if [ ${#packages[@]} -gt 1 ]; then
    dpkg-deb -c "${packages[1]}" >"$work/python-files"
    for file in dio/__init__.py dio/_dio.pyi dio/py.typed dio/sim.py dio/pytest_plugin.py \
        ".dist-info/entry_points.txt"; do
        grep -qF "$file" "$work/python-files" || fail "python3-dio lacks $file"
    done
fi

lintian --fail-on error "${packages[@]}" >"$work/lintian.log" 2>&1 ||
    fail "lintian reports errors"
# The bridge's package is held to no warning either.
grep -E '^[EW]: dio-mqtt' "$work/lintian.log" && fail "lintian reports on dio-mqtt"
echo "lintian:"
sed 's/^/    /' "$work/lintian.log"

root=$work/root
for package in "${packages[@]}"; do
    dpkg-deb -x "$package" "$root"
done
desktop-file-validate "$root/usr/share/applications/diopanel.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null || fail "metainfo"
for page in diopanel dio dio-sim dio-mqtt; do
    [ -s "$root/usr/share/man/man1/$page.1.gz" ] || fail "no manual page for $page"
done

export KAVREN_SIM_STATE=$work/sim.state
env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY "$root/usr/bin/dio" list >"$work/list" 2>&1 || fail "dio list"
grep -q "^DIO-SIM-0001	" "$work/list" || { cat "$work/list" >&2; fail "dio list shows no simulated device"; }
env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY "$root/usr/bin/diopanel" --version || fail "diopanel --version"

# The bridge: its service installed but not enabled, its configuration a conffile, and the unpacked
# program bridging the unpacked simulator's devices to a broker of the check's own.
[ -f "$root/lib/systemd/system/dio-mqtt.service" ] || fail "no dio-mqtt.service in lib/systemd/system"
[ ! -e "$root/etc/systemd" ] || fail "the dio-mqtt package enables its service"
mqtt_package=$(ls "$build"/dio-mqtt_*_amd64.deb | head -1)
dpkg-deb --ctrl-tarfile "$mqtt_package" | tar -xO ./conffiles | grep -qx /etc/dio-mqtt.conf ||
    fail "/etc/dio-mqtt.conf is not a conffile"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify --man=no "$root/lib/systemd/system/dio-mqtt.service" 2>&1 |
        grep -v "/usr/bin/dio-mqtt" | grep . && fail "systemd-analyze finds fault with dio-mqtt.service"
fi
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser %s\n' "$port" "$(id -un)" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >/dev/null 2>&1 &
broker=$!
sleep 0.5
env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY "$root/usr/bin/dio-mqtt" --broker "mqtt://127.0.0.1:$port" \
    2>"$work/dio-mqtt.log" &
bridge=$!
timeout 10 mosquitto_sub -p "$port" -v -t 'dio/+/availability' -C 2 >"$work/availability" ||
    fail "the unpacked dio-mqtt does not bridge the simulated devices"
kill -TERM $bridge
wait $bridge || fail "dio-mqtt did not end with 0 on SIGTERM"
kill $broker
wait $broker 2>/dev/null
sort "$work/availability" | diff - <(printf 'dio/DIO-SIM-0001/availability online\ndio/DIO-SIM-0002/availability online\n') ||
    fail "dio-mqtt availability"

# The module of the unpacked tree finds the simulator of the unpacked tree, as the programs do.
if [[ " ${names[*]} " == *" python3-dio "* ]]; then
    (cd "$work" && env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY PYTHONPATH="$root/usr/lib/python3/dist-packages" \
        /usr/bin/python3 -c '
import sys, dio
assert dio.__file__.startswith(sys.argv[1] + "/"), dio.__file__
assert dio.library_path().startswith(sys.argv[1] + "/"), dio.library_path()
assert [d.serial for d in dio.devices()] == ["DIO-SIM-0001", "DIO-SIM-0002"], dio.devices()
print("python3-dio:", dio.__version__, dio.library_path())
' "$root") || fail "the unpacked module does not list the simulated devices of the unpacked tree"
fi

# The panel from the unpacked tree, in a virtual display: its window appears and closing it ends it with 0.
xvfb-run -a bash -c '
    env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY "$1/usr/bin/diopanel" &
    pid=$!
    closed=0
    for _ in $(seq 100); do
        if "$2" "Test USB DIO"; then closed=1; break; fi
        sleep 0.1
    done
    [ $closed -eq 1 ] || { kill $pid; exit 3; }
    wait $pid
' _ "$root" "$closer" || fail "the unpacked panel did not show its window and end with 0"

[ "$failures" -eq 0 ] && echo "package checks passed"
[ "$failures" -eq 0 ]
