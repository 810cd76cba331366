#!/usr/bin/env bash
# Runs the test suite in the Release build (build/). With --sanitize, builds
# a second tree (build-asan/) under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs it there. With --clang, only compiles
# everything with clang++ in build-clang/, warnings as errors, so that both
# compilers stay clean. VELMIRA_WERROR=ON in the environment (CI sets it)
# makes warnings errors in the other builds too.
# Run scripts/setup.sh once first.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
args=(-DCMAKE_BUILD_TYPE=Release)
werror=${VELMIRA_WERROR:-OFF}
compile_only=false
case ${1:-} in
  --sanitize)
    dir=build-asan
    args=(-DCMAKE_BUILD_TYPE=Debug -DVELMIRA_SANITIZE=ON)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    ;;
  --clang)
    dir=build-clang
    # No optimisation and no debug information: only the warnings are wanted.
    args=(-DCMAKE_BUILD_TYPE=None -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    werror=ON
    compile_only=true
    ;;
  "") ;;
  *)
    echo "usage: scripts/test.sh [--sanitize | --clang]" >&2
    exit 2
    ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" "${args[@]}" -DVELMIRA_WERROR="$werror" >/dev/null
cmake --build "$dir" -j"$jobs"
$compile_only && exit 0
cd "$dir"
ctest --output-on-failure -j"$jobs" --timeout 600
