// A stand-in for the CUDA driver library, for hosts without a GPU. It
// exports the driver functions the start-up checks call and carries them
// out on the host: "device memory" is host memory, and the two kernels of
// the checks' module (fill_matrix, square_matrix) run as plain loops over
// their block's threads.
//
// TAVOREN_FAKE_CUDA_FAILURE makes one step fail:
//   init          cuInit answers CUDA_ERROR_NO_DEVICE
//   no_device     cuDeviceGetCount finds no device
//   context       cuCtxCreate_v2 answers CUDA_ERROR_OUT_OF_MEMORY
//   launch        cuLaunchKernel answers CUDA_ERROR_LAUNCH_FAILED
//   wrong_product square_matrix adds 1 to every element it writes
// TAVOREN_FAKE_CUDA_TRACE names a file that gets one line per call (the
// function's name), so tests see what was called and what was released.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using CUresult = int;
using CUdeviceptr = unsigned long long;

constexpr CUresult kSuccess = 0;
constexpr CUresult kInvalidValue = 1;
constexpr CUresult kOutOfMemory = 2;
constexpr CUresult kNotInitialized = 3;
constexpr CUresult kNoDevice = 100;
constexpr CUresult kInvalidDevice = 101;
constexpr CUresult kInvalidPtx = 218;
constexpr CUresult kNotFound = 500;
constexpr CUresult kLaunchFailed = 719;

bool initialised = false;

bool failing(const char* step) {
  const char* failure = std::getenv("TAVOREN_FAKE_CUDA_FAILURE");
  return failure != nullptr && std::strcmp(failure, step) == 0;
}

void trace(const char* call) {
  const char* path = std::getenv("TAVOREN_FAKE_CUDA_TRACE");
  if (path == nullptr) return;
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", call);
    std::fclose(file);
  }
}

struct Context {
  int device;
};

enum class Kernel { fill, square };

struct Module {
  Kernel fill = Kernel::fill;
  Kernel square = Kernel::square;
};

float* device_floats(void* parameter) {
  return reinterpret_cast<float*>(
      static_cast<std::uintptr_t>(*static_cast<CUdeviceptr*>(parameter)));
}

// Traces the library's loading, so tests see whether it was loaded at all.
__attribute__((constructor)) void traced_load() { trace("load"); }

}  // namespace

extern "C" {

CUresult cuInit(unsigned int flags) {
  trace("cuInit");
  if (flags != 0) return kInvalidValue;
  if (failing("init")) return kNoDevice;
  initialised = true;
  return kSuccess;
}

CUresult cuDeviceGetCount(int* count) {
  trace("cuDeviceGetCount");
  if (!initialised) return kNotInitialized;
  *count = failing("no_device") ? 0 : 1;
  return kSuccess;
}

CUresult cuDeviceGet(int* device, int ordinal) {
  trace("cuDeviceGet");
  if (!initialised) return kNotInitialized;
  if (ordinal != 0 || failing("no_device")) return kInvalidDevice;
  *device = ordinal;
  return kSuccess;
}

CUresult cuCtxCreate_v2(void** context, unsigned int, int device) {
  trace("cuCtxCreate_v2");
  if (!initialised) return kNotInitialized;
  if (failing("context")) return kOutOfMemory;
  *context = new Context{device};
  return kSuccess;
}

CUresult cuCtxDestroy_v2(void* context) {
  trace("cuCtxDestroy_v2");
  delete static_cast<Context*>(context);
  return kSuccess;
}

CUresult cuCtxSynchronize() {
  trace("cuCtxSynchronize");
  return kSuccess;
}

CUresult cuModuleLoadData(void** module, const void* image) {
  trace("cuModuleLoadData");
  const char* text = static_cast<const char*>(image);
  if (std::strstr(text, ".entry fill_matrix(") == nullptr ||
      std::strstr(text, ".entry square_matrix(") == nullptr) {
    return kInvalidPtx;
  }
  *module = new Module;
  return kSuccess;
}

CUresult cuModuleUnload(void* module) {
  trace("cuModuleUnload");
  delete static_cast<Module*>(module);
  return kSuccess;
}

CUresult cuModuleGetFunction(void** function, void* module, const char* name) {
  trace("cuModuleGetFunction");
  Module* loaded = static_cast<Module*>(module);
  if (std::strcmp(name, "fill_matrix") == 0) {
    *function = &loaded->fill;
  } else if (std::strcmp(name, "square_matrix") == 0) {
    *function = &loaded->square;
  } else {
    return kNotFound;
  }
  return kSuccess;
}

CUresult cuMemAlloc_v2(CUdeviceptr* pointer, std::size_t bytes) {
  trace("cuMemAlloc_v2");
  void* memory = std::calloc(1, bytes);
  if (memory == nullptr) return kOutOfMemory;
  *pointer = reinterpret_cast<std::uintptr_t>(memory);
  return kSuccess;
}

CUresult cuMemFree_v2(CUdeviceptr pointer) {
  trace("cuMemFree_v2");
  std::free(reinterpret_cast<void*>(static_cast<std::uintptr_t>(pointer)));
  return kSuccess;
}

CUresult cuMemcpyDtoH_v2(void* destination, CUdeviceptr source, std::size_t bytes) {
  trace("cuMemcpyDtoH_v2");
  std::memcpy(destination, reinterpret_cast<void*>(static_cast<std::uintptr_t>(source)), bytes);
  return kSuccess;
}

CUresult cuLaunchKernel(void* function, unsigned int grid_x, unsigned int grid_y,
                        unsigned int grid_z, unsigned int block_x, unsigned int block_y,
                        unsigned int block_z, unsigned int, void*, void** parameters, void**) {
  trace("cuLaunchKernel");
  if (failing("launch")) return kLaunchFailed;
  if (grid_x * grid_y * grid_z != 1 || block_y != 1 || block_z != 1 || block_x != 4) {
    return kInvalidValue;
  }
  switch (*static_cast<Kernel*>(function)) {
    case Kernel::fill: {
      float* matrix = device_floats(parameters[0]);
      const float value = *static_cast<float*>(parameters[1]);
      for (unsigned int t = 0; t < block_x; ++t) matrix[t] = value;
      break;
    }
    case Kernel::square: {
      const float* matrix = device_floats(parameters[0]);
      float* product = device_floats(parameters[1]);
      for (unsigned int t = 0; t < block_x; ++t) {
        const unsigned int row = t / 2;
        const unsigned int column = t % 2;
        product[t] = matrix[row * 2] * matrix[column] + matrix[row * 2 + 1] * matrix[2 + column];
        if (failing("wrong_product")) product[t] += 1.0F;
      }
      break;
    }
  }
  return kSuccess;
}

CUresult cuGetErrorName(CUresult error, const char** name) {
  switch (error) {
    case kSuccess:
      *name = "CUDA_SUCCESS";
      break;
    case kInvalidValue:
      *name = "CUDA_ERROR_INVALID_VALUE";
      break;
    case kOutOfMemory:
      *name = "CUDA_ERROR_OUT_OF_MEMORY";
      break;
    case kNotInitialized:
      *name = "CUDA_ERROR_NOT_INITIALIZED";
      break;
    case kNoDevice:
      *name = "CUDA_ERROR_NO_DEVICE";
      break;
    case kInvalidDevice:
      *name = "CUDA_ERROR_INVALID_DEVICE";
      break;
    case kInvalidPtx:
      *name = "CUDA_ERROR_INVALID_PTX";
      break;
    case kNotFound:
      *name = "CUDA_ERROR_NOT_FOUND";
      break;
    case kLaunchFailed:
      *name = "CUDA_ERROR_LAUNCH_FAILED";
      break;
    default:
      return kInvalidValue;
  }
  return kSuccess;
}

}  // extern "C"
