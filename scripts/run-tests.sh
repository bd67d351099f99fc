#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the suites and the soak run, the Debian package's
# checks, the suites again under AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target for
# FUZZ_SECONDS (default 60).
# Exits non-zero on any failure. With WARNINGS_AS_ERRORS=ON any compiler warning fails the build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$repo_root"
warnings=-DDIOPANEL_WARNINGS_AS_ERRORS="${WARNINGS_AS_ERRORS:-OFF}"

install_missing "${build_packages[@]}" "${test_packages[@]}" "${package_packages[@]}" "${fuzz_packages[@]}"

echo "== Tests"
build_preset default "$warnings"
ctest --preset default

echo "== Debian package: built, checked by lintian, unpacked and run"
bash tests/package_check.sh build/default build/default/tests/close_window

echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build_preset asan "$warnings"
ctest --preset asan

echo "== Fuzzing"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
