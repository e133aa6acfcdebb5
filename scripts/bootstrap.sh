#!/usr/bin/env bash
# Installs everything the build needs on a Debian 12 machine (run as root) and creates the
# project-local Python environment with the pinned Pinocchio and MuJoCo wheels.
# Idempotent: it prints nothing when everything is already in place.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${KELTO_VENV:-$root/.venv}"

debian_packages=(
  build-essential cmake pkg-config git python3 python3-venv
  libyaml-cpp-dev libeigen3-dev libglfw3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth libgl1-mesa-dev libgl1-mesa-dri libegl-mesa0
  clang libclang-rt-dev clang-format
)

missing=()
for pkg in "${debian_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "[bootstrap] installing Debian packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "[bootstrap] error: run as root to install Debian packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

stamp="$venv/.requirements.stamp"
if [ ! -x "$venv/bin/python" ]; then
  echo "[bootstrap] creating Python environment in $venv"
  python3 -m venv "$venv"
fi
if [ ! -f "$stamp" ] || ! cmp -s "$stamp" "$root/requirements.txt"; then
  echo "[bootstrap] installing pinned wheels from requirements.txt"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/requirements.txt"
  cp "$root/requirements.txt" "$stamp"
fi
