#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 60), starting from
# the seed corpus in fuzz/corpus. Any finding fails the run; its input is kept under build/fuzz/findings.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$repo_root"
seconds=${1:-60}

install_missing "${build_packages[@]}" "${fuzz_packages[@]}"
build_preset fuzz

# Leaks inside system libraries (fontconfig, D-Bus) are not the panel's; the same list serves the suites.
export LSAN_OPTIONS="suppressions=$repo_root/tests/lsan.supp:print_suppressions=0"
findings=$repo_root/build/fuzz/findings
mkdir -p "$findings"
status=0
for target in discovery transactions state; do
    work=$(mktemp -d)
    cp fuzz/corpus/$target/* "$work"/
    echo "== fuzz_$target for $seconds s"
    if ! "build/fuzz/bin/fuzz_$target" "$work" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$findings/$target-" 2> "$work.log"; then
        status=1
        echo "fuzz_$target found a fault:" >&2
        grep -E "check failed|ERROR|SUMMARY|Test unit written" "$work.log" >&2 || tail -40 "$work.log" >&2
    fi
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" "$work.log"
    rm -rf "$work" "$work.log"
done
exit $status
