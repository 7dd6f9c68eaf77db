// Python's handle on a streaming run.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <vector>

#include "chain/delivery.hpp"

namespace velmorin::bindings {

namespace py = pybind11;

// Python's handle on a queue: dropping it cancels the background run.
class ChunkStream {
 public:
  explicit ChunkStream(std::shared_ptr<ChunkQueue> queue) : queue_(std::move(queue)) {}
  ~ChunkStream() { queue_->cancel(); }
  ChunkStream(const ChunkStream&) = delete;
  ChunkStream& operator=(const ChunkStream&) = delete;

  py::object next() {
    std::optional<Chunk> chunk;
    {
      py::gil_scoped_release release;
      chunk = queue_->next();
    }
    if (!chunk) return py::none();
    auto* buffer = new std::vector<float>(std::move(chunk->data));
    py::capsule owner(buffer, [](void* p) { delete static_cast<std::vector<float>*>(p); });
    py::array_t<float> data(
        {py::ssize_t(chunk->height), py::ssize_t(chunk->width)},
        {py::ssize_t(chunk->width) * py::ssize_t(sizeof(float)), py::ssize_t(sizeof(float))},
        buffer->data(), owner);
    py::dict d;
    d["y_offset"] = chunk->y_offset;
    d["width"] = chunk->width;
    d["height"] = chunk->height;
    d["data"] = data;
    return d;
  }

  void cancel() { queue_->cancel(); }

 private:
  std::shared_ptr<ChunkQueue> queue_;
};

}  // namespace velmorin::bindings
