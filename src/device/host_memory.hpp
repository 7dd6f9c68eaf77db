// What the operating system says about host memory.
#pragma once

#include <cstdint>

namespace velmorin::device {

// Available physical memory in bytes (MemAvailable on Linux), read now.
std::uint64_t available_physical_memory();
// Total physical memory in bytes.
std::uint64_t total_physical_memory();
// An unsigned byte count from an environment variable, or 0 when it is unset or empty.
// A value that is not a plain non-negative integer raises std::invalid_argument.
std::uint64_t env_byte_count(const char* name);

}  // namespace velmorin::device
