// The operations each backend provides; the RAII resources of device.hpp call through this.
#pragma once

#include "device.hpp"

namespace velmorin::device::detail {

class BackendImpl {
 public:
  virtual ~BackendImpl() = default;
  virtual MemoryInfo memory_info() = 0;
  virtual void describe(DeviceDescription& out) = 0;
  virtual void* alloc_mapped(std::size_t bytes, bool write_combined, void** device_alias) = 0;
  virtual void free_mapped(void* host) noexcept = 0;
  virtual void* alloc_pinned(std::size_t bytes) = 0;
  virtual void free_pinned(void* ptr) noexcept = 0;
  virtual void* alloc_device(std::size_t bytes) = 0;
  virtual void free_device(void* ptr) noexcept = 0;
  virtual void* create_stream() = 0;
  virtual void destroy_stream(void* stream) noexcept = 0;
  virtual void synchronize(void* stream) = 0;
  virtual void copy(void* dst, const void* src, std::size_t bytes, CopyKind kind) = 0;
  virtual void copy_async(void* dst, const void* src, std::size_t bytes, CopyKind kind,
                          void* stream) = 0;
  virtual void memset_async(void* dst, int value, std::size_t bytes, void* stream) = 0;
  virtual void* create_texture(int width, int height, Filter filter, std::uint64_t* handle) = 0;
  virtual void destroy_texture(void* array, std::uint64_t handle) noexcept = 0;
  virtual void upload_texture_async(void* array, const float* src, int w, int h,
                                    std::size_t src_pitch, void* stream) = 0;
};

BackendImpl& cpu_backend();
// Throws "CUDA error: ..." when the CUDA backend is not compiled in.
BackendImpl& cuda_backend();
// True when the CUDA backend is compiled in and a device answers; `reason` says why not.
bool cuda_usable(std::string* reason);
BackendImpl& backend_for(Backend backend);

}  // namespace velmorin::device::detail
