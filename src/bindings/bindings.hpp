// Registration functions of the Python classes, one per binding file.
#pragma once

#include <pybind11/pybind11.h>

namespace velmorin::bindings {

void register_chain(pybind11::module_& m);
void register_results(pybind11::module_& m);

}  // namespace velmorin::bindings
