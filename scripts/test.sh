#!/usr/bin/env bash
# Sets up the machine (scripts/bootstrap.sh), builds everything and runs every test.
#   scripts/test.sh                 optimised build in build/release
#   scripts/test.sh --sanitize      AddressSanitizer + UndefinedBehaviorSanitizer build in build/clang-asan,
#                                   compiled with Clang (and its sanitizers), so that every target is
#                                   built by both compilers
#   scripts/test.sh --baseline-cpu  build/release again, its tests run as on a baseline x86-64 CPU
#                                   (scripts/baseline_cpu.sh), so that no test holds on this CPU alone
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"

build_dir="$root/build/release"
cmake_args=(-DCMAKE_BUILD_TYPE=Release)
cpu=()
case "${1:-}" in
  "") ;;
  --sanitize)
    build_dir="$root/build/clang-asan"
    cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_SANITIZE=ON
                -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
    ;;
  --baseline-cpu) cpu=(bash "$root/scripts/baseline_cpu.sh") ;;
  *) echo "usage: $0 [--sanitize | --baseline-cpu]" >&2; exit 2 ;;
esac
jobs="$(nproc 2>/dev/null || echo 2)"

cmake -S "$root" -B "$build_dir" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j "$jobs"

# The viewer's tests need a display; without one they run under a virtual X server.
runner=()
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
  runner=(xvfb-run -a -s "-screen 0 1280x1024x24 -noreset")
fi
cd "$build_dir"
"${cpu[@]}" "${runner[@]}" ctest --output-on-failure -j "$jobs"
