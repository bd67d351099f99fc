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

(cd "$build" && rm -f diopanel_*.deb python3-dio_*.deb && cpack -G DEB >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack"; exit 1; }
names=(diopanel)
grep -q '^DIOPANEL_PYTHON:BOOL=ON' "$build/CMakeCache.txt" && names+=(python3-dio)
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
echo "lintian:"
sed 's/^/    /' "$work/lintian.log"

root=$work/root
for package in "${packages[@]}"; do
    dpkg-deb -x "$package" "$root"
done
desktop-file-validate "$root/usr/share/applications/diopanel.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null || fail "metainfo"
for page in diopanel dio dio-sim; do
    [ -s "$root/usr/share/man/man1/$page.1.gz" ] || fail "no manual page for $page"
done

export KAVREN_SIM_STATE=$work/sim.state
env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY "$root/usr/bin/dio" list >"$work/list" 2>&1 || fail "dio list"
grep -q "^DIO-SIM-0001	" "$work/list" || { cat "$work/list" >&2; fail "dio list shows no simulated device"; }
env -u LD_LIBRARY_PATH -u KAVREN_LIBRARY "$root/usr/bin/diopanel" --version || fail "diopanel --version"

# The module of the unpacked tree finds the simulator of the unpacked tree, as the programs do.
if [ ${#packages[@]} -gt 1 ]; then
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
