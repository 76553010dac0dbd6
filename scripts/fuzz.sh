#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan, libFuzzer), writes the seed corpus and fuzzes.
#   scripts/fuzz.sh [SECONDS] [TARGET] [extra libFuzzer flags, e.g. -jobs=1]
# SECONDS defaults to 60, TARGET to open_movie_fuzzer (or iff_loader_fuzzer).
# QF_FUZZ_BUILD chooses the build directory (default: the fuzz preset's build/fuzz).
# Crash inputs land in BUILD/artifacts/; keep each one in fuzz/regressions/ once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
target=${2:-open_movie_fuzzer}
shift $(( $# < 2 ? $# : 2 ))
build=${QF_FUZZ_BUILD:-build/fuzz}

if [ "$build" = build/fuzz ]; then
  cmake --preset fuzz >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQF_SANITIZE=ON -DQF_FUZZ=ON -DQF_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target "$target" make_seeds

build=$(cd "$build" && pwd)
"$build/fuzz/make_seeds" "$build/seeds"
case "$target" in
  open_movie_fuzzer) seeds="$build/seeds/movie" ;;
  *) seeds="$build/seeds/iff" ;;
esac
corpus="$build/corpus/$target"
mkdir -p "$corpus" "$build/artifacts"

# Run inside the build directory: with -jobs, libFuzzer writes its fuzz-N.log files there.
# Allocations above 64 MB fail inside the targets (see __asan_default_options there).
status=0
(cd "$build" && "$build/fuzz/$target" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/" -print_final_stats=1 "$@") || status=$?

if compgen -G "$build/artifacts/*" >/dev/null; then
  echo "findings in $build/artifacts:"
  ls -l "$build/artifacts"
fi
exit $status
