#include "device.hpp"

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "backend.hpp"

namespace velmorin::device {

void raise_device_error(const std::string& message) {
  throw std::runtime_error("CUDA error: " + message);
}

namespace detail {

BackendImpl& backend_for(Backend backend) {
  return backend == Backend::cuda ? cuda_backend() : cpu_backend();
}

}  // namespace detail

namespace {

struct Resolution {
  Backend backend = Backend::cpu;
  std::string error;  // set when the requested backend cannot run
};

Resolution resolve() {
  Resolution result;
  const char* forced = std::getenv("VELMORIN_DEVICE");
  const std::string choice = forced ? forced : "";
  std::string reason;
  if (choice == "cpu") return result;
  if (choice == "cuda") {
    result.backend = Backend::cuda;
    if (!detail::cuda_usable(&reason))
      result.error = "VELMORIN_DEVICE=cuda but CUDA cannot run: " + reason;
    return result;
  }
  if (!choice.empty()) {
    result.error = "VELMORIN_DEVICE must be 'cuda' or 'cpu', got '" + choice + "'";
    return result;
  }
  if (detail::cuda_usable(&reason)) result.backend = Backend::cuda;
  return result;
}

const Resolution& resolution() {
  static const Resolution value = resolve();
  return value;
}

}  // namespace

Backend active_backend() {
  const Resolution& r = resolution();
  if (!r.error.empty()) raise_device_error(r.error);
  return r.backend;
}

const char* backend_name(Backend backend) {
  return backend == Backend::cuda ? "cuda" : "cpu";
}

MemoryInfo memory_info() {
  return detail::backend_for(active_backend()).memory_info();
}

DeviceDescription describe() {
  DeviceDescription out;
  detail::backend_for(active_backend()).describe(out);
#if defined(VELMORIN_HAVE_CUDA)
  out.cuda_compiled = true;
#endif
  return out;
}

// ---- MappedHostBuffer

MappedHostBuffer::MappedHostBuffer(std::size_t bytes, bool write_combined)
    : bytes_(bytes), backend_(active_backend()) {
  host_ = detail::backend_for(backend_).alloc_mapped(bytes, write_combined, &device_);
}
MappedHostBuffer::~MappedHostBuffer() {
  release();
}
MappedHostBuffer::MappedHostBuffer(MappedHostBuffer&& other) noexcept
    : host_(std::exchange(other.host_, nullptr)),
      device_(std::exchange(other.device_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      backend_(other.backend_) {}
MappedHostBuffer& MappedHostBuffer::operator=(MappedHostBuffer&& other) noexcept {
  if (this != &other) {
    release();
    host_ = std::exchange(other.host_, nullptr);
    device_ = std::exchange(other.device_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    backend_ = other.backend_;
  }
  return *this;
}
void MappedHostBuffer::release() noexcept {
  if (host_) detail::backend_for(backend_).free_mapped(host_);
  host_ = device_ = nullptr;
  bytes_ = 0;
}

// ---- PinnedHostBuffer

PinnedHostBuffer::PinnedHostBuffer(std::size_t bytes) : bytes_(bytes), backend_(active_backend()) {
  ptr_ = detail::backend_for(backend_).alloc_pinned(bytes);
}
PinnedHostBuffer::~PinnedHostBuffer() {
  release();
}
PinnedHostBuffer::PinnedHostBuffer(PinnedHostBuffer&& other) noexcept
    : ptr_(std::exchange(other.ptr_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      backend_(other.backend_) {}
PinnedHostBuffer& PinnedHostBuffer::operator=(PinnedHostBuffer&& other) noexcept {
  if (this != &other) {
    release();
    ptr_ = std::exchange(other.ptr_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    backend_ = other.backend_;
  }
  return *this;
}
void PinnedHostBuffer::release() noexcept {
  if (ptr_) detail::backend_for(backend_).free_pinned(ptr_);
  ptr_ = nullptr;
  bytes_ = 0;
}

// ---- DeviceBuffer

DeviceBuffer::DeviceBuffer(std::size_t bytes) : bytes_(bytes), backend_(active_backend()) {
  ptr_ = detail::backend_for(backend_).alloc_device(bytes);
}
DeviceBuffer::~DeviceBuffer() {
  release();
}
DeviceBuffer::DeviceBuffer(DeviceBuffer&& other) noexcept
    : ptr_(std::exchange(other.ptr_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      backend_(other.backend_) {}
DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& other) noexcept {
  if (this != &other) {
    release();
    ptr_ = std::exchange(other.ptr_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    backend_ = other.backend_;
  }
  return *this;
}
void DeviceBuffer::release() noexcept {
  if (ptr_) detail::backend_for(backend_).free_device(ptr_);
  ptr_ = nullptr;
  bytes_ = 0;
}

// ---- Stream

Stream::Stream() : backend_(active_backend()) {
  handle_ = detail::backend_for(backend_).create_stream();
}
Stream::~Stream() {
  release();
}
Stream::Stream(Stream&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), backend_(other.backend_) {}
Stream& Stream::operator=(Stream&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, nullptr);
    backend_ = other.backend_;
  }
  return *this;
}
void Stream::release() noexcept {
  if (handle_) detail::backend_for(backend_).destroy_stream(handle_);
  handle_ = nullptr;
}
void Stream::synchronize() {
  detail::backend_for(backend_).synchronize(handle_);
}

// ---- copies

void copy(void* dst, const void* src, std::size_t bytes, CopyKind kind) {
  detail::backend_for(active_backend()).copy(dst, src, bytes, kind);
}
void copy_async(void* dst, const void* src, std::size_t bytes, CopyKind kind, Stream& stream) {
  detail::backend_for(stream.backend()).copy_async(dst, src, bytes, kind, stream.native());
}
void memset_async(void* dst, int value, std::size_t bytes, Stream& stream) {
  detail::backend_for(stream.backend()).memset_async(dst, value, bytes, stream.native());
}

// ---- TextureArray

TextureArray::TextureArray(int width, int height, Filter filter)
    : width_(width), height_(height), backend_(active_backend()) {
  if (width < 1 || height < 1) raise_device_error("invalid argument");
  array_ = detail::backend_for(backend_).create_texture(width, height, filter, &handle_);
}
TextureArray::~TextureArray() {
  release();
}
TextureArray::TextureArray(TextureArray&& other) noexcept
    : array_(std::exchange(other.array_, nullptr)),
      handle_(std::exchange(other.handle_, 0)),
      width_(other.width_),
      height_(other.height_),
      backend_(other.backend_) {}
TextureArray& TextureArray::operator=(TextureArray&& other) noexcept {
  if (this != &other) {
    release();
    array_ = std::exchange(other.array_, nullptr);
    handle_ = std::exchange(other.handle_, 0);
    width_ = other.width_;
    height_ = other.height_;
    backend_ = other.backend_;
  }
  return *this;
}
void TextureArray::release() noexcept {
  if (array_) detail::backend_for(backend_).destroy_texture(array_, handle_);
  array_ = nullptr;
  handle_ = 0;
}
void TextureArray::upload_async(const float* src, int w, int h, std::size_t src_pitch,
                                Stream& stream) {
  detail::backend_for(backend_).upload_texture_async(array_, src, w, h, src_pitch, stream.native());
}

}  // namespace velmorin::device
