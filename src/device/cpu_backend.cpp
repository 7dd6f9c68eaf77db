// The cpu backend: the device contract on the host.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "backend.hpp"
#include "cpu_texture.hpp"
#include "host_memory.hpp"

namespace velmorin::device::detail {
namespace {

constexpr std::size_t kAlignment = 64;

void* aligned_zeroed(std::size_t bytes) {
  const std::size_t rounded =
      std::max<std::size_t>(kAlignment, (bytes + kAlignment - 1) / kAlignment * kAlignment);
  void* ptr = std::aligned_alloc(kAlignment, rounded);
  if (ptr == nullptr) raise_device_error("out of memory");
  std::memset(ptr, 0, rounded);
  return ptr;
}

class CpuBackend final : public BackendImpl {
 public:
  MemoryInfo memory_info() override {
    MemoryInfo info;
    info.total_bytes = total_physical_memory();
    info.free_bytes = available_physical_memory();
    const std::uint64_t limit = env_byte_count("VELMORIN_CPU_DEVICE_MEMORY");
    if (limit > 0) {
      info.free_bytes = std::min<std::uint64_t>(info.free_bytes, limit);
      info.total_bytes = std::min<std::uint64_t>(info.total_bytes, limit);
    }
    return info;
  }
  void describe(DeviceDescription& out) override {
    out.backend = "cpu";
    out.name = "host CPU (device emulation)";
    out.total_memory = memory_info().total_bytes;
  }
  void* alloc_mapped(std::size_t bytes, bool, void** device_alias) override {
    void* ptr = aligned_zeroed(bytes);
    *device_alias = ptr;
    return ptr;
  }
  void free_mapped(void* host) noexcept override { std::free(host); }
  void* alloc_pinned(std::size_t bytes) override { return aligned_zeroed(bytes); }
  void free_pinned(void* ptr) noexcept override { std::free(ptr); }
  void* alloc_device(std::size_t bytes) override { return aligned_zeroed(bytes); }
  void free_device(void* ptr) noexcept override { std::free(ptr); }
  void* create_stream() override { return nullptr; }
  void destroy_stream(void*) noexcept override {}
  void synchronize(void*) override {}
  void copy(void* dst, const void* src, std::size_t bytes, CopyKind) override {
    if (bytes > 0) std::memmove(dst, src, bytes);
  }
  void copy_async(void* dst, const void* src, std::size_t bytes, CopyKind kind, void*) override {
    copy(dst, src, bytes, kind);
  }
  void memset_async(void* dst, int value, std::size_t bytes, void*) override {
    if (bytes > 0) std::memset(dst, value, bytes);
  }
  void* create_texture(int width, int height, Filter filter, std::uint64_t* handle) override {
    auto* texture = new CpuTexture;
    texture->width = width;
    texture->height = height;
    texture->linear = filter == Filter::linear;
    try {
      texture->data =
          static_cast<float*>(aligned_zeroed(std::size_t(width) * height * sizeof(float)));
    } catch (...) {
      delete texture;
      throw;
    }
    *handle = reinterpret_cast<std::uint64_t>(texture);
    return texture;
  }
  void destroy_texture(void* array, std::uint64_t) noexcept override {
    auto* texture = static_cast<CpuTexture*>(array);
    if (texture == nullptr) return;
    std::free(texture->data);
    delete texture;
  }
  void upload_texture_async(void* array, const float* src, int w, int h, std::size_t src_pitch,
                            void*) override {
    auto* texture = static_cast<CpuTexture*>(array);
    if (w > texture->width || h > texture->height) raise_device_error("invalid argument");
    for (int y = 0; y < h; ++y) {
      std::memcpy(texture->data + std::size_t(y) * texture->width,
                  reinterpret_cast<const char*>(src) + std::size_t(y) * src_pitch,
                  std::size_t(w) * sizeof(float));
    }
  }
};

}  // namespace

BackendImpl& cpu_backend() {
  static CpuBackend backend;
  return backend;
}

}  // namespace velmorin::device::detail
