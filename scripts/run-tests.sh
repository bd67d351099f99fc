#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest. Exits non-zero on any failure.
# With WARNINGS_AS_ERRORS=ON any compiler warning fails the build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$repo_root"

install_missing "${build_packages[@]}" "${test_packages[@]}"
build_preset default -DDIOPANEL_WARNINGS_AS_ERRORS="${WARNINGS_AS_ERRORS:-OFF}"
ctest --preset default
