#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# replays their seed corpora, then fuzzes each for a bounded time: the demultiplexer for
# the given seconds, the differential handler target for a quarter of that. A crash, a
# sanitizer report, a timeout, a leak or a difference between fast and reference handlers
# fails the script, and the input that caused it is printed (base64) so that it survives
# in the log.
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
flags="-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc -Itests/support"

# build TARGET SOURCES...: rebuilt when a source is newer than the binary.
build() {
  local target="$out/$1"
  shift
  if [ ! -x "$target" ] || [ -n "$(find src tests/fuzz tests/support/ts_builder.* -newer "$target" | head -1)" ]; then
    # shellcheck disable=SC2086
    "$clang_cxx" $flags $sources "$@" -o "$target"
  fi
}
build fuzz_demux tests/support/ts_builder.cpp tests/fuzz/fuzz_input.cpp tests/fuzz/fuzz_demux.cpp
build fuzz_handlers -DKAVEL_FUZZ_HANDLERS tests/fuzz/fuzz_handlers.cpp

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# fuzz TARGET SECONDS SEEDS: replays the seeds, then fuzzes into a corpus of the build dir
# (the seeds stay untouched).
fuzz() {
  local target="$1" time="$2" seeds="$3"
  local corpus="$out/corpus-$target" artifacts="$out/artifacts-$target"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  local common=(-rss_limit_mb=2048 -timeout=25 -artifact_prefix="$artifacts/")
  echo "== $target: replaying $seeds"
  if "$out/$target" -runs=0 "${common[@]}" "$seeds" &&
     echo "== $target: fuzzing for $time s" &&
     # shellcheck disable=SC2086
     "$out/$target" -max_total_time="$time" -max_len=70000 -print_final_stats=1 -dict=tests/fuzz/kavel.dict \
       "${common[@]}" ${FUZZ_FLAGS:-} "$corpus" "$seeds"; then
    return 0
  fi
  for f in "$artifacts"/{crash,leak,timeout,oom}-*; do
    [ -f "$f" ] || continue
    echo "=== failing input of $target: $f ($(stat -c %s "$f") bytes), base64:"
    base64 "$f"
  done
  exit 1
}
fuzz fuzz_demux "$seconds" tests/fuzz/corpus
fuzz fuzz_handlers "$((seconds / 4 + 1))" tests/fuzz/corpus-handlers
