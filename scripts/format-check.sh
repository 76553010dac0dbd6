#!/usr/bin/env bash
# Fails when a C or C++ file of the tree differs from what clang-format makes of it (.clang-format).
# With --fix, rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! clang-format --dry-run --Werror "${files[@]}" 2>"$log"; then
  grep -E '^[^ ].*: (error|warning):' "$log" | cut -d: -f1 | sort -u | sed 's/^/format-check: not formatted: /' >&2
  echo "format-check: run 'make format' to rewrite them" >&2
  exit 1
fi
