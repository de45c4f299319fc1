#!/usr/bin/env bash
# Retakes every benchmark's figures in one command, each with the whole lab pinned to CPU 0 and
# then unpinned, and prints their outputs. A wake-up across the two CPUs of these machines costs
# tens of microseconds, so a figure is only worth its placement.
#
#   bench/run_figures.sh [BUILD_DIR] [BENCH...]   (default build/default and every benchmark;
#                                                 needs root for the lab)
#
# SOAK_SECONDS (60) shortens or lengthens the soak. The service's own log lines are left out.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
shift || true
benches=("$@")
[ ${#benches[@]} -gt 0 ] || benches=(bench_info_latency bench_registry_footprint bench_mng_round_trip
    bench_mng_search bench_mng_clients bench_connect bench_tlp_read bench_loss_soak bench_ctu_firmware bench_tty
    bench_sio bench_sio_families bench_sio_ai bench_lib_ser)
lab="$build/tests/support/qorlab"
for f in "$lab" "${benches[@]/#/$build/bench/}"; do
    if [ ! -x "$f" ]; then
        echo "run_figures: $f is missing (build the bench targets of $build first)" >&2
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
    for b in "${benches[@]}"; do
        args=()
        [ "$b" = bench_loss_soak ] && args=(--seconds "${SOAK_SECONDS:-60}")
        run "$b ($mode)" "${pin[@]}" "$lab" --veths 1 -- "$build/bench/$b" "${args[@]}"
    done
done
exit $status
