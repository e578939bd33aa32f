// The GPU computation of the start-up checks, on the CUDA driver API loaded
// at run time, so that the agent builds and runs on hosts without CUDA.
//
// The library is TAVOREN_CUDA_LIBRARY when that is set and not empty (a
// file name searched as the dynamic loader searches, or a path), else
// "libcuda.so.1". Only the driver API is used: cuInit, cuDeviceGetCount,
// cuDeviceGet, cuCtxCreate_v2, cuModuleLoadData (a small PTX module, JIT-
// compiled by the driver), cuModuleGetFunction, cuMemAlloc_v2,
// cuLaunchKernel, cuCtxSynchronize, cuMemcpyDtoH_v2, cuMemFree_v2,
// cuModuleUnload, cuCtxDestroy_v2 and, for error texts, cuGetErrorName.
//
// Threads: a CudaDriver is used by one thread at a time.
#pragma once

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavoren::prechecks {

// The driver library cannot be loaded, or lacks a function the checks use.
class CudaLibraryMissing : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A driver call failed; the text names the call and the driver's error.
class CudaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The library the checks load (see the top of this file).
std::string cuda_library_name();

// The PTX module with the two kernels of square_filled_matrix.
std::string_view kernels_ptx();

class CudaDriver {
 public:
  // Loads the library and resolves every function. Throws
  // CudaLibraryMissing.
  static std::unique_ptr<CudaDriver> load();
  ~CudaDriver();
  CudaDriver(const CudaDriver&) = delete;
  CudaDriver& operator=(const CudaDriver&) = delete;

  const std::string& library() const { return library_; }

  // Whether the driver initialises and sees at least one device.
  bool is_available();

  // On device 0: fills a 2 x 2 single-precision matrix with `value` and
  // multiplies it by itself, returning the product in row-major order.
  // Everything it allocates is released before it returns. Throws
  // CudaError.
  std::array<float, 4> square_filled_matrix(float value);

  struct Api;

 private:
  CudaDriver(std::string library, void* handle, std::unique_ptr<Api> api);

  std::string library_;
  void* handle_;
  std::unique_ptr<Api> api_;
};

}  // namespace tavoren::prechecks
