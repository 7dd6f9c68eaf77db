// The device layer: one interface over two backends.
//
// cuda: the CUDA runtime (mapped page-locked memory, streams, 2D arrays with texture objects).
// cpu:  the same contract on the host. Page-locked buffers are aligned host buffers whose device
//       alias is the host pointer, streams run their work in order at once, and texture objects
//       are emulated with clamp addressing and point or 8-bit-weight linear filtering.
//
// VELMORIN_DEVICE=cuda|cpu forces a backend; unset picks cuda when a device is present.
// Every failing runtime call raises std::runtime_error("CUDA error: " + the runtime's string).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velmorin::device {

enum class Backend { cpu, cuda };

// The backend every new resource and launch uses; resolved once per process.
Backend active_backend();
const char* backend_name(Backend backend);

struct MemoryInfo {
  std::size_t free_bytes = 0;
  std::size_t total_bytes = 0;
};

// Free and total device memory. On the cpu backend this is the host's available memory,
// lowered by VELMORIN_CPU_DEVICE_MEMORY (bytes) when that variable is set.
MemoryInfo memory_info();

struct DeviceDescription {
  std::string backend;
  std::string name;
  int compute_major = 0;
  int compute_minor = 0;
  int multiprocessors = 0;
  std::size_t total_memory = 0;
  bool cuda_compiled = false;
};
DeviceDescription describe();

enum class CopyKind { host_to_device, device_to_host, device_to_device, host_to_host };

class Stream;

// Page-locked host memory mapped into the device address space, zero-filled.
class MappedHostBuffer {
 public:
  MappedHostBuffer() = default;
  MappedHostBuffer(std::size_t bytes, bool write_combined);
  ~MappedHostBuffer();
  MappedHostBuffer(MappedHostBuffer&& other) noexcept;
  MappedHostBuffer& operator=(MappedHostBuffer&& other) noexcept;
  MappedHostBuffer(const MappedHostBuffer&) = delete;
  MappedHostBuffer& operator=(const MappedHostBuffer&) = delete;

  void* host() const { return host_; }
  void* device() const { return device_; }
  std::size_t size() const { return bytes_; }

 private:
  void release() noexcept;
  void* host_ = nullptr;
  void* device_ = nullptr;
  std::size_t bytes_ = 0;
  Backend backend_ = Backend::cpu;
};

// Page-locked host memory that is not mapped (staging for asynchronous copies).
class PinnedHostBuffer {
 public:
  PinnedHostBuffer() = default;
  explicit PinnedHostBuffer(std::size_t bytes);
  ~PinnedHostBuffer();
  PinnedHostBuffer(PinnedHostBuffer&& other) noexcept;
  PinnedHostBuffer& operator=(PinnedHostBuffer&& other) noexcept;
  PinnedHostBuffer(const PinnedHostBuffer&) = delete;
  PinnedHostBuffer& operator=(const PinnedHostBuffer&) = delete;

  void* get() const { return ptr_; }
  std::size_t size() const { return bytes_; }

 private:
  void release() noexcept;
  void* ptr_ = nullptr;
  std::size_t bytes_ = 0;
  Backend backend_ = Backend::cpu;
};

// Device memory (not initialised).
class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  explicit DeviceBuffer(std::size_t bytes);
  ~DeviceBuffer();
  DeviceBuffer(DeviceBuffer&& other) noexcept;
  DeviceBuffer& operator=(DeviceBuffer&& other) noexcept;
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  void* get() const { return ptr_; }
  template <class T>
  T* as() const {
    return static_cast<T*>(ptr_);
  }
  std::size_t size() const { return bytes_; }

 private:
  void release() noexcept;
  void* ptr_ = nullptr;
  std::size_t bytes_ = 0;
  Backend backend_ = Backend::cpu;
};

// An ordered queue of device work. On the cpu backend work runs at once on the caller.
class Stream {
 public:
  Stream();
  ~Stream();
  Stream(Stream&& other) noexcept;
  Stream& operator=(Stream&& other) noexcept;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Waits for everything enqueued so far; a failure raises "CUDA error: ...".
  void synchronize();
  // The runtime's stream handle (cudaStream_t); null on the cpu backend.
  void* native() const { return handle_; }
  Backend backend() const { return backend_; }

 private:
  void release() noexcept;
  void* handle_ = nullptr;
  Backend backend_ = Backend::cpu;
};

void copy(void* dst, const void* src, std::size_t bytes, CopyKind kind);
void copy_async(void* dst, const void* src, std::size_t bytes, CopyKind kind, Stream& stream);
void memset_async(void* dst, int value, std::size_t bytes, Stream& stream);

enum class Filter { point, linear };

// A 2D float32 array with a texture object over it: clamp addressing, unnormalised
// coordinates, element reads, point or linear filtering.
class TextureArray {
 public:
  TextureArray() = default;
  TextureArray(int width, int height, Filter filter);
  ~TextureArray();
  TextureArray(TextureArray&& other) noexcept;
  TextureArray& operator=(TextureArray&& other) noexcept;
  TextureArray(const TextureArray&) = delete;
  TextureArray& operator=(const TextureArray&) = delete;

  // Copies a w x h block (source row pitch in bytes) into the array's top-left corner.
  void upload_async(const float* src, int w, int h, std::size_t src_pitch, Stream& stream);
  // The texture object handle the kernels take (cudaTextureObject_t, or the address of the
  // host emulation's descriptor on the cpu backend).
  std::uint64_t handle() const { return handle_; }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  void release() noexcept;
  void* array_ = nullptr;
  std::uint64_t handle_ = 0;
  int width_ = 0;
  int height_ = 0;
  Backend backend_ = Backend::cpu;
};

// Raises std::runtime_error("CUDA error: " + message).
[[noreturn]] void raise_device_error(const std::string& message);

}  // namespace velmorin::device
