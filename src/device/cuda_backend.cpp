// The cuda backend: the CUDA runtime behind the device interface. Built when CMake finds nvcc;
// otherwise every entry point says that CUDA was not compiled in.
#include <cstring>

#include "backend.hpp"

#if defined(VELMORIN_HAVE_CUDA)
#include <cuda_runtime.h>
#endif

namespace velmorin::device::detail {

#if defined(VELMORIN_HAVE_CUDA)
namespace {

void check(cudaError_t status) {
  if (status != cudaSuccess) raise_device_error(cudaGetErrorString(status));
}

cudaMemcpyKind to_cuda(CopyKind kind) {
  switch (kind) {
    case CopyKind::host_to_device:
      return cudaMemcpyHostToDevice;
    case CopyKind::device_to_host:
      return cudaMemcpyDeviceToHost;
    case CopyKind::device_to_device:
      return cudaMemcpyDeviceToDevice;
    case CopyKind::host_to_host:
      return cudaMemcpyHostToHost;
  }
  return cudaMemcpyDefault;
}

struct CudaTexture {
  cudaArray_t array = nullptr;
};

class CudaBackend final : public BackendImpl {
 public:
  MemoryInfo memory_info() override {
    MemoryInfo info;
    check(cudaMemGetInfo(&info.free_bytes, &info.total_bytes));
    return info;
  }
  void describe(DeviceDescription& out) override {
    int device = 0;
    check(cudaGetDevice(&device));
    cudaDeviceProp prop{};
    check(cudaGetDeviceProperties(&prop, device));
    out.backend = "cuda";
    out.name = prop.name;
    out.compute_major = prop.major;
    out.compute_minor = prop.minor;
    out.multiprocessors = prop.multiProcessorCount;
    out.total_memory = prop.totalGlobalMem;
  }
  void* alloc_mapped(std::size_t bytes, bool write_combined, void** device_alias) override {
    void* host = nullptr;
    unsigned flags = cudaHostAllocMapped | (write_combined ? cudaHostAllocWriteCombined : 0u);
    check(cudaHostAlloc(&host, bytes == 0 ? 16 : bytes, flags));
    std::memset(host, 0, bytes);
    cudaError_t status = cudaHostGetDevicePointer(device_alias, host, 0);
    if (status != cudaSuccess) {
      cudaFreeHost(host);
      check(status);
    }
    return host;
  }
  void free_mapped(void* host) noexcept override { cudaFreeHost(host); }
  void* alloc_pinned(std::size_t bytes) override {
    void* ptr = nullptr;
    check(cudaHostAlloc(&ptr, bytes == 0 ? 16 : bytes, cudaHostAllocDefault));
    return ptr;
  }
  void free_pinned(void* ptr) noexcept override { cudaFreeHost(ptr); }
  void* alloc_device(std::size_t bytes) override {
    void* ptr = nullptr;
    check(cudaMalloc(&ptr, bytes == 0 ? 16 : bytes));
    return ptr;
  }
  void free_device(void* ptr) noexcept override { cudaFree(ptr); }
  void* create_stream() override {
    cudaStream_t stream = nullptr;
    check(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking));
    return stream;
  }
  void destroy_stream(void* stream) noexcept override {
    cudaStreamDestroy(static_cast<cudaStream_t>(stream));
  }
  void synchronize(void* stream) override {
    check(cudaStreamSynchronize(static_cast<cudaStream_t>(stream)));
  }
  void copy(void* dst, const void* src, std::size_t bytes, CopyKind kind) override {
    if (bytes > 0) check(cudaMemcpy(dst, src, bytes, to_cuda(kind)));
  }
  void copy_async(void* dst, const void* src, std::size_t bytes, CopyKind kind,
                  void* stream) override {
    if (bytes > 0)
      check(cudaMemcpyAsync(dst, src, bytes, to_cuda(kind), static_cast<cudaStream_t>(stream)));
  }
  void memset_async(void* dst, int value, std::size_t bytes, void* stream) override {
    if (bytes > 0) check(cudaMemsetAsync(dst, value, bytes, static_cast<cudaStream_t>(stream)));
  }
  void* create_texture(int width, int height, Filter filter, std::uint64_t* handle) override {
    auto* texture = new CudaTexture;
    cudaChannelFormatDesc format = cudaCreateChannelDesc<float>();
    cudaError_t status = cudaMallocArray(&texture->array, &format, width, height);
    if (status != cudaSuccess) {
      delete texture;
      check(status);
    }
    cudaResourceDesc resource{};
    resource.resType = cudaResourceTypeArray;
    resource.res.array.array = texture->array;
    cudaTextureDesc desc{};
    desc.addressMode[0] = cudaAddressModeClamp;
    desc.addressMode[1] = cudaAddressModeClamp;
    desc.filterMode = filter == Filter::linear ? cudaFilterModeLinear : cudaFilterModePoint;
    desc.readMode = cudaReadModeElementType;
    desc.normalizedCoords = 0;
    cudaTextureObject_t object = 0;
    status = cudaCreateTextureObject(&object, &resource, &desc, nullptr);
    if (status != cudaSuccess) {
      cudaFreeArray(texture->array);
      delete texture;
      check(status);
    }
    *handle = static_cast<std::uint64_t>(object);
    return texture;
  }
  void destroy_texture(void* array, std::uint64_t handle) noexcept override {
    auto* texture = static_cast<CudaTexture*>(array);
    if (texture == nullptr) return;
    cudaDestroyTextureObject(static_cast<cudaTextureObject_t>(handle));
    cudaFreeArray(texture->array);
    delete texture;
  }
  void upload_texture_async(void* array, const float* src, int w, int h, std::size_t src_pitch,
                            void* stream) override {
    auto* texture = static_cast<CudaTexture*>(array);
    check(cudaMemcpy2DToArrayAsync(texture->array, 0, 0, src, src_pitch,
                                   std::size_t(w) * sizeof(float), h, cudaMemcpyHostToDevice,
                                   static_cast<cudaStream_t>(stream)));
  }
};

}  // namespace

BackendImpl& cuda_backend() {
  static CudaBackend backend;
  return backend;
}

bool cuda_usable(std::string* reason) {
  int count = 0;
  const cudaError_t status = cudaGetDeviceCount(&count);
  if (status != cudaSuccess) {
    // Without a driver the runtime answers cudaErrorInsufficientDriver rather than NoDevice.
    if (reason) *reason = cudaGetErrorString(status);
    cudaGetLastError();
    return false;
  }
  if (count < 1) {
    if (reason) *reason = "no CUDA device";
    return false;
  }
  return true;
}

#else

BackendImpl& cuda_backend() {
  raise_device_error("the CUDA backend is not compiled into this build");
}

bool cuda_usable(std::string* reason) {
  if (reason) *reason = "the CUDA backend is not compiled into this build";
  return false;
}

#endif

}  // namespace velmorin::device::detail
