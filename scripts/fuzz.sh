#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan, libFuzzer), writes the seed corpus and fuzzes.
#   scripts/fuzz.sh [SECONDS] [TARGET] [extra libFuzzer flags...]
# SECONDS defaults to 60, TARGET to open_movie_fuzzer (or iff_loader_fuzzer).
# QF_FUZZ_BUILD chooses the build directory (default: the fuzz preset's build/fuzz).
# Crash inputs land in BUILD/artifacts/; keep each one as a file in fuzz/regressions/ once fixed.
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

"$build/fuzz/make_seeds" "$build/seeds"
case "$target" in
  open_movie_fuzzer) seeds="$build/seeds/movie" ;;
  *) seeds="$build/seeds/iff" ;;
esac
corpus="$build/corpus/$target"
mkdir -p "$corpus" "$build/artifacts"

# A header may honestly ask for a 4 GB picture, so single allocations up to that are allowed;
# the resident limit still catches memory that is really used.
status=0
"$build/fuzz/$target" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=4096 -malloc_limit_mb=8192 -artifact_prefix="$build/artifacts/" -print_final_stats=1 "$@" || status=$?

if compgen -G "$build/artifacts/*" >/dev/null; then
  echo "findings in $build/artifacts:"
  ls -l "$build/artifacts"
fi
exit $status
