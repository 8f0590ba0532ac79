#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds on a scratch copy of
# its committed seed corpus, so that the run adds no files to the repository.
# Fails on the first target that crashes, leaks, times out or breaks a
# property. Usage: fuzz/run_all.sh BUILD_FOLDER [SECONDS]
set -euo pipefail
build=${1:?usage: fuzz/run_all.sh BUILD_FOLDER [SECONDS]}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)

# target:maximum input length:extra options. The store target spends most
# of an input in file operations; the plain scheduler gives it more runs.
targets=(xml_document_fuzz:16384: utf8_fuzz:256: store_fuzz:2048:-entropic=0)

# The store target works in a temporary folder; memory-backed when there is
# one, since every document write there is synced.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
for entry in "${targets[@]}"; do
    IFS=: read -r name max_len extra <<< "$entry"
    binary="$build/fuzz/$name"
    if [ ! -x "$binary" ]; then
        echo "missing fuzz target: $binary" >&2
        exit 1
    fi
    work="$build/fuzz-work/$name"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$here/corpus/$name/"* "$work/corpus/"
    echo "== $name: ${seconds} s"
    if ! (cd "$work" && "$binary" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
            ${extra:+"$extra"} corpus > "$work/log.txt" 2>&1); then
        echo "$name FAILED; log: $work/log.txt, input in $work/artifacts/" >&2
        tail -n 60 "$work/log.txt" >&2
        status=1
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt")
    echo "$name: ${runs:-?} executions, no finding"
done
exit $status
