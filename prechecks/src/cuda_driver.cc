// The CUDA driver API, loaded with dlopen, and the 2 x 2 matrix computation
// of the start-up checks.

#include "cuda_driver.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "tavoren/common/text.h"

namespace tavoren::prechecks {
namespace {

// The driver API's own types, as its ABI defines them.
using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
using CUcontext = struct CUctx_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUstream = struct CUstream_st*;

constexpr CUresult kSuccess = 0;
constexpr const char* kDefaultLibrary = "libcuda.so.1";

// Two kernels for one block of four threads, one thread per element of a
// 2 x 2 row-major matrix:
//   fill_matrix(matrix, value):      matrix[t] = value
//   square_matrix(matrix, product):  product[r][c] = sum_k matrix[r][k] * matrix[k][c]
// Written for the oldest target every current driver still compiles, so the
// driver's JIT builds it for whichever GPU it finds.
constexpr const char kKernels[] = R"(
.version 6.0
.target sm_50
.address_size 64

.visible .entry fill_matrix(
	.param .u64 matrix,
	.param .f32 value
)
{
	.reg .b32 %r<2>;
	.reg .b64 %rd<4>;
	.reg .f32 %f<2>;

	ld.param.u64 %rd1, [matrix];
	ld.param.f32 %f1, [value];
	cvta.to.global.u64 %rd2, %rd1;
	mov.u32 %r1, %tid.x;
	mul.wide.u32 %rd3, %r1, 4;
	add.s64 %rd3, %rd2, %rd3;
	st.global.f32 [%rd3], %f1;
	ret;
}

.visible .entry square_matrix(
	.param .u64 matrix,
	.param .u64 product
)
{
	.reg .b32 %r<5>;
	.reg .b64 %rd<9>;
	.reg .f32 %f<7>;

	ld.param.u64 %rd1, [matrix];
	ld.param.u64 %rd2, [product];
	cvta.to.global.u64 %rd3, %rd1;
	cvta.to.global.u64 %rd4, %rd2;
	mov.u32 %r1, %tid.x;
	shr.u32 %r2, %r1, 1;
	and.b32 %r3, %r1, 1;
	shl.b32 %r4, %r2, 1;
	mul.wide.u32 %rd5, %r4, 4;
	add.s64 %rd5, %rd3, %rd5;
	ld.global.f32 %f1, [%rd5];
	ld.global.f32 %f2, [%rd5+4];
	mul.wide.u32 %rd6, %r3, 4;
	add.s64 %rd6, %rd3, %rd6;
	ld.global.f32 %f3, [%rd6];
	ld.global.f32 %f4, [%rd6+8];
	mul.rn.f32 %f5, %f1, %f3;
	fma.rn.f32 %f6, %f2, %f4, %f5;
	mul.wide.u32 %rd7, %r1, 4;
	add.s64 %rd8, %rd4, %rd7;
	st.global.f32 [%rd8], %f6;
	ret;
}
)";

// Runs its action when the scope ends, unless dismissed.
class Cleanup {
 public:
  explicit Cleanup(std::function<void()> action) : action_(std::move(action)) {}
  ~Cleanup() {
    if (action_) action_();
  }
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;

 private:
  std::function<void()> action_;
};

}  // namespace

struct CudaDriver::Api {
  CUresult (*cuInit)(unsigned int);
  CUresult (*cuDeviceGetCount)(int*);
  CUresult (*cuDeviceGet)(CUdevice*, int);
  CUresult (*cuCtxCreate_v2)(CUcontext*, unsigned int, CUdevice);
  CUresult (*cuCtxDestroy_v2)(CUcontext);
  CUresult (*cuCtxSynchronize)();
  CUresult (*cuModuleLoadData)(CUmodule*, const void*);
  CUresult (*cuModuleUnload)(CUmodule);
  CUresult (*cuModuleGetFunction)(CUfunction*, CUmodule, const char*);
  CUresult (*cuMemAlloc_v2)(CUdeviceptr*, std::size_t);
  CUresult (*cuMemFree_v2)(CUdeviceptr);
  CUresult (*cuMemcpyDtoH_v2)(void*, CUdeviceptr, std::size_t);
  CUresult (*cuLaunchKernel)(CUfunction, unsigned int, unsigned int, unsigned int, unsigned int,
                             unsigned int, unsigned int, unsigned int, CUstream, void**, void**);
  // Optional: only for error texts.
  CUresult (*cuGetErrorName)(CUresult, const char**);

  // Throws CudaError naming `call` unless `result` is success.
  void check(CUresult result, const char* call) const {
    if (result == kSuccess) return;
    std::string name;
    const char* text = nullptr;
    if (cuGetErrorName != nullptr && cuGetErrorName(result, &text) == kSuccess && text != nullptr) {
      name = std::string(text) + " ";
    }
    throw CudaError(std::string(call) + " failed: " + name + "(error " + std::to_string(result) +
                    ")");
  }
};

std::string_view kernels_ptx() { return kKernels; }

std::string cuda_library_name() {
  const std::optional<std::string> configured = get_env("TAVOREN_CUDA_LIBRARY");
  return configured && !configured->empty() ? *configured : kDefaultLibrary;
}

std::unique_ptr<CudaDriver> CudaDriver::load() {
  const std::string library = cuda_library_name();
  // RTLD_LOCAL keeps the driver's symbols out of the agent's namespace.
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    throw CudaLibraryMissing("Cannot load the CUDA driver library " + library + ": " +
                             (why != nullptr ? why : "unknown reason"));
  }
  auto api = std::make_unique<Api>();
  auto resolve = [&](auto& function, const char* symbol, bool required) {
    ::dlerror();
    void* address = ::dlsym(handle, symbol);
    if (address == nullptr && required) {
      ::dlclose(handle);
      throw CudaLibraryMissing("The CUDA driver library " + library + " lacks " + symbol);
    }
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(address);
  };
  resolve(api->cuInit, "cuInit", true);
  resolve(api->cuDeviceGetCount, "cuDeviceGetCount", true);
  resolve(api->cuDeviceGet, "cuDeviceGet", true);
  resolve(api->cuCtxCreate_v2, "cuCtxCreate_v2", true);
  resolve(api->cuCtxDestroy_v2, "cuCtxDestroy_v2", true);
  resolve(api->cuCtxSynchronize, "cuCtxSynchronize", true);
  resolve(api->cuModuleLoadData, "cuModuleLoadData", true);
  resolve(api->cuModuleUnload, "cuModuleUnload", true);
  resolve(api->cuModuleGetFunction, "cuModuleGetFunction", true);
  resolve(api->cuMemAlloc_v2, "cuMemAlloc_v2", true);
  resolve(api->cuMemFree_v2, "cuMemFree_v2", true);
  resolve(api->cuMemcpyDtoH_v2, "cuMemcpyDtoH_v2", true);
  resolve(api->cuLaunchKernel, "cuLaunchKernel", true);
  resolve(api->cuGetErrorName, "cuGetErrorName", false);
  return std::unique_ptr<CudaDriver>(new CudaDriver(library, handle, std::move(api)));
}

CudaDriver::CudaDriver(std::string library, void* handle, std::unique_ptr<Api> api)
    : library_(std::move(library)), handle_(handle), api_(std::move(api)) {}

CudaDriver::~CudaDriver() { ::dlclose(handle_); }

bool CudaDriver::is_available() {
  if (api_->cuInit(0) != kSuccess) return false;
  int count = 0;
  return api_->cuDeviceGetCount(&count) == kSuccess && count > 0;
}

std::array<float, 4> CudaDriver::square_filled_matrix(float value) {
  const Api& api = *api_;
  constexpr unsigned int kElements = 4;
  constexpr std::size_t kBytes = kElements * sizeof(float);

  api.check(api.cuInit(0), "cuInit");
  CUdevice device = 0;
  api.check(api.cuDeviceGet(&device, 0), "cuDeviceGet");
  CUcontext context = nullptr;
  api.check(api.cuCtxCreate_v2(&context, 0, device), "cuCtxCreate");
  // Declared first, so destroyed last: everything below lives in it.
  Cleanup destroy_context([&] { api.cuCtxDestroy_v2(context); });

  CUmodule module = nullptr;
  api.check(api.cuModuleLoadData(&module, kKernels), "cuModuleLoadData");
  Cleanup unload_module([&] { api.cuModuleUnload(module); });
  CUfunction fill = nullptr;
  api.check(api.cuModuleGetFunction(&fill, module, "fill_matrix"), "cuModuleGetFunction");
  CUfunction square = nullptr;
  api.check(api.cuModuleGetFunction(&square, module, "square_matrix"), "cuModuleGetFunction");

  CUdeviceptr matrix = 0;
  api.check(api.cuMemAlloc_v2(&matrix, kBytes), "cuMemAlloc");
  Cleanup free_matrix([&] { api.cuMemFree_v2(matrix); });
  CUdeviceptr product = 0;
  api.check(api.cuMemAlloc_v2(&product, kBytes), "cuMemAlloc");
  Cleanup free_product([&] { api.cuMemFree_v2(product); });

  float fill_value = value;
  void* fill_arguments[] = {&matrix, &fill_value};
  api.check(api.cuLaunchKernel(fill, 1, 1, 1, kElements, 1, 1, 0, nullptr, fill_arguments, nullptr),
            "cuLaunchKernel");
  void* square_arguments[] = {&matrix, &product};
  api.check(
      api.cuLaunchKernel(square, 1, 1, 1, kElements, 1, 1, 0, nullptr, square_arguments, nullptr),
      "cuLaunchKernel");
  api.check(api.cuCtxSynchronize(), "cuCtxSynchronize");

  std::array<float, 4> result{};
  api.check(api.cuMemcpyDtoH_v2(result.data(), product, kBytes), "cuMemcpyDtoH");
  return result;
}

}  // namespace tavoren::prechecks
