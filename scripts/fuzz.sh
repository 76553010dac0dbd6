#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan, libFuzzer), writes the seed corpora and fuzzes.
#   scripts/fuzz.sh [TARGET|all] [SECONDS] [extra libFuzzer flags, e.g. -jobs=1]
# TARGET (default open_movie): open_movie, open_movie_large (inputs up to 1 MB), explain_open,
# make_script, iff_loader, adf_reader; "all" runs each in turn for SECONDS (default 60) each.
# The old order (SECONDS first, then TARGET, with or without the _fuzzer suffix) still works.
# QF_FUZZ_BUILD chooses the build directory (default: the fuzz preset's build/fuzz).
# Crash inputs land in BUILD/artifacts/; keep each one in fuzz/regressions/ once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
all_targets="open_movie open_movie_large explain_open make_script iff_loader adf_reader"
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
  seconds=$1; target=${2:-open_movie}
else
  target=${1:-open_movie}; seconds=${2:-60}
fi
shift $(( $# < 2 ? $# : 2 ))
target=${target%_fuzzer}
targets=$target
[ "$target" = all ] && targets=$all_targets
build=${QF_FUZZ_BUILD:-build/fuzz}

binaries=
for t in $targets; do
  case "$t" in
    open_movie|open_movie_large) binaries="$binaries open_movie_fuzzer" ;;
    explain_open|make_script|iff_loader|adf_reader) binaries="$binaries ${t}_fuzzer" ;;
    *) echo "unknown target $t (one of: $all_targets, all)" >&2; exit 2 ;;
  esac
done

if [ "$build" = build/fuzz ]; then
  cmake --preset fuzz >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQF_SANITIZE=ON -DQF_FUZZ=ON -DQF_TESTS=OFF >/dev/null
fi
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $binaries make_seeds

build=$(cd "$build" && pwd)
"$build/fuzz/make_seeds" "$build/seeds"
mkdir -p "$build/seeds/make" "$build/seeds/none" "$build/artifacts"
cp docs/examples/bounce/bounce.json "$build/seeds/make/"

status=0
for t in $targets; do
  binary=${t}_fuzzer; seeds="$build/seeds/movie"; limits=()
  case "$t" in
    # Inputs up to 1 MB, so that work growing with the square of the input shows as a timeout.
    open_movie_large) binary=open_movie_fuzzer; limits=(-max_len=1048576 -len_control=0) ;;
    make_script) seeds="$build/seeds/make" ;;
    iff_loader) seeds="$build/seeds/iff" ;;
    adf_reader) seeds="$build/seeds/none" ;;
  esac
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  echo "== $t for ${seconds}s"
  # Run inside the build directory: with -jobs, libFuzzer writes its fuzz-N.log files there.
  # Allocations above 64 MB fail inside the targets (see __asan_default_options there).
  (cd "$build" && "$build/fuzz/$binary" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/" -print_final_stats=1 "${limits[@]}" "$@") || status=$?
done

if compgen -G "$build/artifacts/*" >/dev/null; then
  echo "findings in $build/artifacts:"
  ls -l "$build/artifacts"
fi
exit $status
