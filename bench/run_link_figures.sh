#!/usr/bin/env bash
# Retakes the link figures in one command: bench_connect, bench_tlp_read and bench_loss_soak,
# each with the whole lab pinned to CPU 0 and then unpinned, and prints their outputs.
#
#   bench/run_link_figures.sh [BUILD_DIR]     (default build/default; needs root for the lab)
#
# SOAK_SECONDS (60) shortens or lengthens the soak. The service's own log lines are left out.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
lab="$build/tests/support/qorlab"
for f in "$lab" "$build/bench/bench_connect" "$build/bench/bench_tlp_read" "$build/bench/bench_loss_soak"; do
    if [ ! -x "$f" ]; then
        echo "run_link_figures: $f is missing (build the bench targets of $build first)" >&2
        exit 2
    fi
done
status=0
run() {  # label, then the command to run inside the lab
    local label=$1
    shift
    echo "=== $label"
    "$@" 2> >(grep -v -e '^VN  (' -e '^NIC (' >&2) | grep -v -e '^VN  (' -e '^NIC ('
    local rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || { echo "=== $label: exit status $rc"; status=1; }
}
for mode in pinned unpinned; do
    pin=()
    [ "$mode" = pinned ] && pin=(taskset -c 0)
    run "bench_connect ($mode)" "${pin[@]}" "$lab" --veths 1 -- "$build/bench/bench_connect"
    run "bench_tlp_read ($mode)" "${pin[@]}" "$lab" --veths 1 -- "$build/bench/bench_tlp_read"
    run "bench_loss_soak ($mode)" "${pin[@]}" "$lab" --veths 1 -- "$build/bench/bench_loss_soak" \
        --seconds "${SOAK_SECONDS:-60}"
done
exit $status
