#!/usr/bin/env bash
# Sets up the machine, builds the project and runs the main job: kelto_hand_runtime on the bundled
# dynamic_openxr_hand, reading the bundled glove simulator over a pseudo-terminal, printing joint lines
# until Ctrl-C.
#   scripts/run_demo.sh                 right hand
#   scripts/run_demo.sh --viewer        ... with the MuJoCo viewer (needs a display)
#   scripts/run_demo.sh --dual          both hands, one simulated glove each
#   scripts/run_demo.sh --duration S    stop by itself after S seconds
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
viewer=()
dual=0
duration=0
while [ $# -gt 0 ]; do
  case "$1" in
    --viewer) viewer=(--viewer) ;;
    --dual) dual=1 ;;
    --duration) duration="$2"; shift ;;
    *) echo "usage: $0 [--viewer] [--dual] [--duration SECONDS]" >&2; exit 2 ;;
  esac
  shift
done

bash "$root/scripts/bootstrap.sh"
build_dir="$root/build/release"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" --target kelto_hand_runtime kelto_glove_simulator

config="$root/resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml"
links="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$links"
}
trap cleanup EXIT

start_glove() {
  "$build_dir/tools/kelto_glove_simulator" --side "$1" --link "$links/glove-$1" --script all &
  pids+=("$!")
  for _ in $(seq 50); do [ -e "$links/glove-$1" ] && return 0; sleep 0.1; done
  echo "glove simulator for the $1 hand did not start" >&2
  exit 1
}

if [ "$dual" = 1 ]; then
  start_glove right
  start_glove left
  ports=(--right-port "$links/glove-right" --left-port "$links/glove-left")
else
  start_glove right
  ports=(--side right --port "$links/glove-right")
fi

runtime=("$build_dir/apps/runtime/kelto_hand_runtime" --config "$config" "${ports[@]}" --print-rate 2 "${viewer[@]}")
if [ "$duration" != 0 ]; then
  timeout --signal=TERM "$duration" "${runtime[@]}" || [ $? -eq 124 ]
else
  "${runtime[@]}"
fi
