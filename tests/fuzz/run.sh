#!/usr/bin/env bash
# Builds the libFuzzer target with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# replays the seed corpus, then fuzzes for a bounded time. A crash, a sanitizer report, a
# timeout or a leak fails the script, and the input that caused it is printed (base64)
# so that it survives in the log.
#
#   tests/fuzz/run.sh [seconds] [build dir]      (defaults: 120, build-fuzz)
#
# Extra libFuzzer flags can be given in FUZZ_FLAGS (e.g. FUZZ_FLAGS=-seed=7).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-120}"
out="${2:-build-fuzz}"
mkdir -p "$out"

clang_cxx="${CLANGXX:-clang++}"
sources=$(ls src/*/*.cpp | grep -v '/main\.cpp$')
if [ ! -x "$out/fuzz_demux" ] || [ -n "$(find src tests/fuzz tests/support/ts_builder.* -newer "$out/fuzz_demux" | head -1)" ]; then
  "$clang_cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Isrc -Itests/support $sources tests/support/ts_builder.cpp \
    tests/fuzz/fuzz_input.cpp tests/fuzz/fuzz_demux.cpp -o "$out/fuzz_demux"
fi

# The seeds stay untouched; what the run finds goes to a corpus of its own.
corpus="$out/corpus"
rm -rf "$out/artifacts"
mkdir -p "$corpus" "$out/artifacts"
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

report_crash() {
  for f in "$out"/artifacts/{crash,leak,timeout,oom}-*; do
    [ -f "$f" ] || continue
    echo "=== failing input $f ($(stat -c %s "$f") bytes), base64:"
    base64 "$f"
  done
  exit 1
}

echo "== replaying the seed corpus"
"$out/fuzz_demux" -runs=0 -rss_limit_mb=2048 -timeout=25 \
  -artifact_prefix="$out/artifacts/" tests/fuzz/corpus || report_crash

echo "== fuzzing for $seconds s"
"$out/fuzz_demux" -max_total_time="$seconds" -max_len=70000 -timeout=25 -rss_limit_mb=2048 \
  -print_final_stats=1 -dict=tests/fuzz/kavel.dict -artifact_prefix="$out/artifacts/" ${FUZZ_FLAGS:-} \
  "$corpus" tests/fuzz/corpus || report_crash
