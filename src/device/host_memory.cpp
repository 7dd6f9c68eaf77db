#include "host_memory.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace velmorin::device {
namespace {

std::uint64_t meminfo_field(const char* key) {
  std::ifstream in("/proc/meminfo");
  std::string name;
  std::uint64_t kib = 0;
  std::string unit;
  while (in >> name >> kib) {
    std::getline(in, unit);
    if (name == key) return kib * 1024ull;
  }
  return 0;
}

}  // namespace

std::uint64_t available_physical_memory() {
  const std::uint64_t available = meminfo_field("MemAvailable:");
  if (available > 0) return available;
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  return pages > 0 && page_size > 0 ? std::uint64_t(pages) * std::uint64_t(page_size) : 0;
}

std::uint64_t total_physical_memory() {
  const std::uint64_t total = meminfo_field("MemTotal:");
  if (total > 0) return total;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  return pages > 0 && page_size > 0 ? std::uint64_t(pages) * std::uint64_t(page_size) : 0;
}

std::uint64_t env_byte_count(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || std::strchr(text, '-') != nullptr) {
    throw std::invalid_argument(std::string(name) + " must be a byte count, got '" + text + "'");
  }
  return value;
}

}  // namespace velmorin::device
