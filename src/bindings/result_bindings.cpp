// Result classes: RasterResult and the streaming ChunkQueue.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>

#include "bindings/bindings.hpp"
#include "bindings/chunk_stream.hpp"
#include "chain/delivery.hpp"

namespace py = pybind11;

namespace velmorin::bindings {
namespace {

py::array_t<float> copy_pixels(const RasterResult& r) {
  py::array_t<float> out({py::ssize_t(r.height), py::ssize_t(r.width)});
  if (!r.data.empty())
    std::memcpy(out.mutable_data(), r.data.data(), r.data.size() * sizeof(float));
  return out;
}

}  // namespace

void register_results(py::module_& m) {
  py::class_<RasterResult, std::shared_ptr<RasterResult>>(m, "RasterResult",
                                                          "A whole result in host memory.")
      .def_readonly("width", &RasterResult::width)
      .def_readonly("height", &RasterResult::height)
      .def_readonly("proj", &RasterResult::proj)
      .def_property_readonly("geotransform",
                             [](const RasterResult& r) {
                               return py::make_tuple(r.geotransform[0], r.geotransform[1],
                                                     r.geotransform[2], r.geotransform[3],
                                                     r.geotransform[4], r.geotransform[5]);
                             })
      .def_property_readonly("data", &copy_pixels,
                             "A new float32 array of shape (height, width) on every access.");

  py::class_<ChunkStream, std::shared_ptr<ChunkStream>>(
      m, "ChunkQueue", "Row strips of a run in progress; dropping the queue cancels the run.")
      .def("next", &ChunkStream::next,
           "Return the next chunk dict {y_offset, width, height, data} or None at EOF.")
      .def("cancel", &ChunkStream::cancel, "Stop the background run; queued strips are discarded.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", [](ChunkStream& s) {
        py::object chunk = s.next();
        if (chunk.is_none()) throw py::stop_iteration();
        return chunk;
      });
}

}  // namespace velmorin::bindings
