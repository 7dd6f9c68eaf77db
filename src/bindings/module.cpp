// Module initialisation: GDAL drivers, the host memory budget, functions and classes.
//
// Errors cross into Python by kind: std::invalid_argument becomes ValueError,
// std::out_of_range IndexError, every other std::exception RuntimeError.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>

#include "bindings/bindings.hpp"
#include "device/device.hpp"
#include "engine/engine_common.hpp"
#include "io/raster_info.hpp"

namespace py = pybind11;

// Asks the NVIDIA driver of a hybrid-graphics machine to run this process on the discrete GPU.
extern "C" {
__attribute__((visibility("default"))) std::uint32_t NvOptimusEnablementCuda = 1;
}

namespace {

py::dict device_info() {
  const velmorin::device::DeviceDescription d = velmorin::device::describe();
  const velmorin::device::MemoryInfo memory = velmorin::device::memory_info();
  py::dict info;
  info["backend"] = d.backend;
  info["name"] = d.name;
  info["compute_capability"] = d.backend == "cuda"
                                   ? py::object(py::make_tuple(d.compute_major, d.compute_minor))
                                   : py::object(py::none());
  info["multiprocessors"] = d.multiprocessors;
  info["total_memory"] = memory.total_bytes;
  info["free_memory"] = memory.free_bytes;
  info["cuda_compiled"] = d.cuda_compiled;
  info["engine_threads"] = velmorin::engine::engine_thread_count();
  info["host_memory_budget"] = velmorin::engine::host_memory_budget();
  return info;
}

}  // namespace

PYBIND11_MODULE(velmorin, m) {
  m.doc() =
      "GPU raster processing: lazy chains of band algebra, clipping and neighbourhood "
      "operations over GeoTIFFs, streamed through the device in row chunks.";
  velmorin::register_gdal_drivers();
  velmorin::engine::init_host_memory_budget();
  velmorin::bindings::register_chain(m);
  velmorin::bindings::register_results(m);
  m.def("device_info", &device_info,
        "Describe the device backend in use: {backend, name, compute_capability, multiprocessors, "
        "total_memory, free_memory, cuda_compiled, engine_threads, host_memory_budget}.");
  m.attr("__version__") = VELMORIN_VERSION;
}
