#!/usr/bin/env bash
# Builds the libFuzzer target fuzz_grab (fuzz/), checks that the seed corpus is
# what fuzz/make_corpus writes, replays the seeds, then fuzzes grab() for a
# bounded time on a scratch copy of them.  Any crash or failed check fails the
# script; libFuzzer prints the input that caused it.
#
# Run from the repository root.  Needs clang, libclang-rt-14-dev (libFuzzer and
# the sanitizer runtimes), libusb-1.0-0-dev (its header only), cmake and
# pkg-config.  FUZZ_SECONDS overrides the fuzzing time (default 60).
set -euo pipefail

build=build-fuzz
seconds=${FUZZ_SECONDS:-60}
fresh=
scratch=
cleanup() { rm -rf "$fresh" "$scratch"; }
trap cleanup EXIT

CC=clang CXX=clang++ cmake -S . -B "$build" -DENABLE_FUZZING=ON -DBUILD_TESTING=OFF
cmake --build "$build" --target fuzz_grab make_corpus -j1

fresh=$(mktemp -d)
"$build/fuzz/make_corpus" "$fresh"
if ! diff -r "$fresh" fuzz/corpus; then
    echo "fuzz/corpus differs from what make_corpus writes: regenerate it" >&2
    exit 1
fi

echo "== replaying fuzz/corpus"
"$build/fuzz/fuzz_grab" fuzz/corpus/*

echo "== fuzzing grab() for ${seconds} s"
scratch=$(mktemp -d)
mkdir "$scratch/corpus" "$scratch/artifacts"
cp fuzz/corpus/* "$scratch/corpus/"
status=0
"$build/fuzz/fuzz_grab" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$scratch/artifacts/" "$scratch/corpus" || status=$?
if [ "$status" -ne 0 ]; then
    for artifact in "$scratch"/artifacts/*; do
        [ -e "$artifact" ] || continue
        echo "input that failed ($(basename "$artifact")):" >&2
        od -An -tx1 -v "$artifact" >&2
    done
    exit "$status"
fi
echo "fuzz_grab: seeds replayed and ${seconds} s of fuzzing without a failure"
