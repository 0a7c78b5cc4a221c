#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang, ASan + UBSan) and runs each
# for SECONDS (default 30) on its committed seeds, all targets at once. Fails when
# any target crashes, leaks, trips a sanitizer or breaks one of its checks; the input
# that did it is left in build-fuzz/artifacts/ and its log in build-fuzz/logs/.
#
# Usage: tools/fuzz.sh [SECONDS] [TARGET...]
#
#   tools/fuzz.sh            short run, as the test command does (about 30 s)
#   tools/fuzz.sh 3600       long run: an hour per target
#
# What a run finds that is new goes to build-fuzz/corpus/<target>/, never to the
# seeds in fuzz/corpus/, and later runs start from it, so long runs add up. To keep
# the inputs of a long run that reach new code as seeds, merge them in:
#   build-fuzz/fuzz/<target> -merge=1 fuzz/corpus/<target> build-fuzz/corpus/<target>
# A crashing input, once the bug is fixed, goes into fuzz/corpus/<target>/ as a
# regression seed. To replay one input: build-fuzz/fuzz/<target> FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(input_monitor_commands_fuzzer audio_tap_commands_fuzzer
                                     audio_tap_arguments_fuzzer line_reader_fuzzer)

tools/install-deps.sh
# libFuzzer itself is only a recommendation of Debian's clang.
if ! dpkg-query -W -f='${Status}' libclang-rt-dev 2>/dev/null | grep -q 'install ok installed'; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends libclang-rt-dev
fi

cmake --preset fuzz >/dev/null
cmake --build build-fuzz --target fuzzers

mkdir -p build-fuzz/logs build-fuzz/artifacts
pids=()
for target in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$target"
  build-fuzz/fuzz/"$target" "build-fuzz/corpus/$target" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$target-" >"build-fuzz/logs/$target.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  target="${targets[$i]}"
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/logs/$target.log")
    echo "fuzz $target: ok, ${runs:-?} runs in ${seconds} s"
  else
    failed=1
    echo "fuzz $target: FAILED (build-fuzz/logs/$target.log)"
    grep -E 'ERROR|check failed|Test unit written' "build-fuzz/logs/$target.log" | head -5 || true
  fi
done
exit "$failed"
