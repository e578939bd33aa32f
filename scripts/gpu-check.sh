#!/usr/bin/env bash
# On a host with an NVIDIA GPU: builds the agent, then prints what it sees
# of the GPUs (the probes against the real nvidia-smi, the health readings
# and which signals the driver offers, the kernel log's Xid events, the GPU
# selections,
# the start-up checks' computation on the real CUDA driver) and runs the
# CUDA driver tests, including the kernels' assembly for current GPU
# architectures (where ptxas is installed). Exit status 0 when all pass.
#   scripts/gpu-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."

echo "=== nvidia-smi"
if command -v nvidia-smi >/dev/null; then
  timeout 30 nvidia-smi --query-gpu=index,name,memory.total,memory.used,driver_version \
    --format=csv || echo "nvidia-smi failed with status $?"
else
  echo "nvidia-smi is not installed"
fi

echo "=== build"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target tavoren_gpu_report prechecks_test \
  host_probe_test gpu_health_test >/dev/null

status=0
echo "=== what the agent sees"
build/default/bin/tavoren_gpu_report || status=1

echo "=== CUDA driver and GPU probe tests"
build/default/bin/prechecks_test --gtest_brief=1 --gtest_filter='Cuda*:*Gpu*' || status=1
build/default/bin/host_probe_test --gtest_brief=1 --gtest_filter='*Gpu*' || status=1
build/default/bin/gpu_health_test --gtest_brief=1 || status=1

echo "=== gpu-check: $([[ $status == 0 ]] && echo passed || echo FAILED)"
exit "$status"
