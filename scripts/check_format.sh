#!/usr/bin/env bash
# Fails when a C or C++ source differs from what clang-format makes of it
# with the project's .clang-format (column limit, spacing, includes).
# With --fix, formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."

format=${CLANG_FORMAT:-clang-format}
command -v "$format" >/dev/null || { echo "check_format: $format is not installed" >&2; exit 2; }
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
# One run over every file; each place that would change is one diagnostic.
mapfile -t bad < <("$format" --dry-run "${files[@]}" 2>&1 | sed -nE 's/^([^:]+):[0-9]+:[0-9]+: (error|warning): .*/\1/p' | sort -u)
if [ ${#bad[@]} -ne 0 ]; then
  echo "check_format: ${#bad[@]} file(s) are not formatted (scripts/check_format.sh --fix formats them):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check_format: ${#files[@]} files formatted"
