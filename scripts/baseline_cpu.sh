#!/usr/bin/env bash
# Runs a command as if on a baseline x86-64 CPU, as far as the libraries that choose their code by CPU can
# tell: glibc (its FMA and AVX versions of sin, cos, atan2, exp, ...), numpy (its SIMD loops) and
# OpenBLAS (its kernels; Prescott is the oldest). A result that changes under it would change between
# machines. Elsewhere than on x86-64 Linux the command runs unchanged.
#   scripts/baseline_cpu.sh COMMAND [ARG...]
set -euo pipefail

if [ "$(uname -s)" = Linux ] && [ "$(uname -m)" = x86_64 ]; then
  export GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX,-AVX2,-FMA,-FMA4,-AVX512F"
  numpy_simd="SSSE3 SSE41 POPCNT SSE42 AVX F16C FMA3 AVX2 AVX512F AVX512CD AVX512_KNL AVX512_KNM AVX512_SKX"
  export NPY_DISABLE_CPU_FEATURES="$numpy_simd AVX512_CLX AVX512_CNL AVX512_ICL AVX512_SPR"
  export OPENBLAS_CORETYPE=Prescott
fi
exec "$@"
