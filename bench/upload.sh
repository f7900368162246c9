#!/bin/sh
# The upload comparison: a 1 MiB firmware upload through the device object to
# the simulator, against a raw UDP exchange and a TFTP transfer of the same
# file, all on loopback inside a private network namespace. Installs the TFTP
# peers (scripts/bootstrap bench), builds bench_upload with the default preset
# (or in $BENCH_BUILD_DIR, optimised) and runs it twice: with the scheduler
# free to place the threads, and with everything on one CPU. Arguments go to
# bench_upload (--runs N).
set -e
cd "$(dirname "$0")/.."
scripts/bootstrap bench
if [ -n "$BENCH_BUILD_DIR" ]; then
    cmake -S . -B "$BENCH_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    build="$BENCH_BUILD_DIR"
else
    cmake --preset default >/dev/null
    build=build/default
fi
cmake --build "$build" --target bench_upload >/dev/null
scripts/netns-run "$build/bench/bench_upload" "$@"
echo
scripts/netns-run "$build/bench/bench_upload" --one-cpu "$@"
