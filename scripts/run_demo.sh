#!/usr/bin/env bash
# Sets up the machine, builds the project and shows what was built.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"
build_dir="$root/build/release"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)"

echo "[kelto] built in $build_dir:"
find "$build_dir" -maxdepth 3 -type f \( -name 'libkelto_hand.so*' -o -name 'kelto_hand_runtime' \) -printf '  %P\n' | sort
