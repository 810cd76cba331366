#!/usr/bin/env bash
# Runs the test suite. With --sanitize, builds a second tree (build-asan/)
# under AddressSanitizer and UndefinedBehaviorSanitizer and runs it there.
# Run scripts/setup.sh once first.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ ${1:-} == --sanitize ]]; then
  dir=build-asan
  args=(-DCMAKE_BUILD_TYPE=Debug -DVELMIRA_SANITIZE=ON)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j"$jobs"
cd "$dir"
ctest --output-on-failure -j"$jobs" --timeout 600
