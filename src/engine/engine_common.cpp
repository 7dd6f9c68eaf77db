#include "engine/engine_common.hpp"

#include <cpl_error.h>
#include <gdal_priv.h>
#include <omp.h>

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "device/device.hpp"
#include "device/host_memory.hpp"

namespace velmorin::engine {
namespace {

const int32_t kThreadCount = std::max(1, std::min(omp_get_max_threads(), 11));
std::atomic<uint64_t> g_host_budget{0};

}  // namespace

std::mutex output_write_lock;
std::mutex progress_lock;

int32_t engine_thread_count() {
  return kThreadCount;
}

void init_host_memory_budget() {
  if (g_host_budget.load() == 0)
    g_host_budget.store(uint64_t(0.55 * double(device::available_physical_memory())));
}

uint64_t host_memory_budget() {
  init_host_memory_budget();
  const uint64_t limit = device::env_byte_count("VELMORIN_HOST_MEMORY_BUDGET");
  const uint64_t base = g_host_budget.load();
  return limit > 0 ? std::min(base, limit) : base;
}

uint64_t free_device_memory() {
  return device::memory_info().free_bytes;
}

Progress::Progress(bool verbose, int chunk_count) : verbose_(verbose), chunk_count_(chunk_count) {}

void Progress::start() {
  if (!verbose_) return;
  std::lock_guard<std::mutex> lock(progress_lock);
  GDALTermProgress(0.0, nullptr, nullptr);
}

void Progress::chunk_done() {
  if (!verbose_) return;
  const int done = ++done_;
  std::lock_guard<std::mutex> lock(progress_lock);
  GDALTermProgress(double(done) / double(std::max(1, chunk_count_)), nullptr, nullptr);
}

void Progress::finish() {
  if (!verbose_) return;
  std::lock_guard<std::mutex> lock(progress_lock);
  GDALTermProgress(1.0, nullptr, nullptr);
}

void run_chunks(int threads, int chunk_count, const std::function<void(int, int)>& body) {
  std::exception_ptr first_error;
  std::mutex error_lock;
  std::atomic<bool> stop{false};
  threads = std::max(1, std::min(threads, chunk_count));
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
  for (int chunk = 0; chunk < chunk_count; ++chunk) {
    if (stop.load()) continue;
    try {
      body(chunk, omp_get_thread_num());
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_lock);
      if (!first_error) first_error = std::current_exception();
      stop.store(true);
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

void deliver(const ExecutionPlan& plan, int32_t width, int32_t rows, const float* data,
             int32_t first_row) {
  if (plan.output_band != nullptr) {
    std::lock_guard<std::mutex> lock(output_write_lock);
    QuietGdalErrors quiet;
    const CPLErr status =
        plan.output_band->RasterIO(GF_Write, 0, first_row, width, rows, const_cast<float*>(data),
                                   width, rows, GDT_Float32, 0, 0, nullptr);
    if (status != CE_None) throw std::runtime_error("Write failed: " + last_gdal_error());
  }
  if (plan.chunk_sink) plan.chunk_sink(width, rows, data, first_row);
  if (plan.memory_sink) plan.memory_sink(width, rows, data, first_row);
}

QuietGdalErrors::QuietGdalErrors() {
  CPLPushErrorHandler(CPLQuietErrorHandler);
  CPLErrorReset();
}
QuietGdalErrors::~QuietGdalErrors() {
  CPLPopErrorHandler();
}

void read_band_rows(GDALDataset& dataset, const std::string& path, const RasterInfo& info,
                    const std::vector<int32_t>& band_list, int32_t first, int32_t rows,
                    const std::vector<float*>& destinations) {
  const int32_t width = info.width;
  const int band_count = int(band_list.size());
  QuietGdalErrors quiet;
  dataset.AdviseRead(0, first, width, rows, width, rows, GDT_Float32, band_count, nullptr, nullptr);
  auto fail = [&] {
    throw std::runtime_error("Read failed: " + path + ": " +
                             last_gdal_error("the read did not succeed"));
  };
  if (info.pixel_interleaved() && band_count > 1) {
    std::vector<int> band_map(band_list.begin(), band_list.end());
    for (int& b : band_map) b += 1;
    std::vector<float> interleaved(std::size_t(width) * rows * band_count);
    const GSpacing pixel = GSpacing(band_count) * sizeof(float);
    const CPLErr status = dataset.RasterIO(GF_Read, 0, first, width, rows, interleaved.data(),
                                           width, rows, GDT_Float32, band_count, band_map.data(),
                                           pixel, pixel * width, sizeof(float), nullptr);
    if (status != CE_None) fail();
    const std::size_t pixels = std::size_t(width) * rows;
    for (int k = 0; k < band_count; ++k) {
      float* dst = destinations[k];
      for (std::size_t j = 0; j < pixels; ++j) dst[j] = interleaved[j * band_count + k];
    }
    return;
  }
  for (int k = 0; k < band_count; ++k) {
    GDALRasterBand* band = dataset.GetRasterBand(band_list[k] + 1);
    if (band == nullptr)
      throw std::runtime_error("Read failed: " + path + ": no band " +
                               std::to_string(band_list[k] + 1));
    const CPLErr status = band->RasterIO(GF_Read, 0, first, width, rows, destinations[k], width,
                                         rows, GDT_Float32, 0, 0, nullptr);
    if (status != CE_None) fail();
  }
}

std::vector<DatasetPtr> open_worker_datasets(const std::string& path, int workers) {
  std::vector<DatasetPtr> datasets;
  QuietGdalErrors quiet;
  for (int t = 0; t < workers; ++t) {
    datasets.push_back(open_dataset(path));
    if (!datasets.back()) throw std::runtime_error("Open failed: " + path);
  }
  return datasets;
}

device::DeviceBuffer upload_program(const std::vector<Instruction>& program) {
  device::DeviceBuffer buffer;
  if (!program.empty()) {
    buffer = device::DeviceBuffer(program.size() * sizeof(Instruction));
    device::copy(buffer.get(), program.data(), buffer.size(), device::CopyKind::host_to_device);
  }
  return buffer;
}

int32_t rows_per_chunk_for(int32_t height, int32_t block_height, int threads,
                           uint64_t bytes_per_row, const char* engine_name) {
  const int32_t bh = std::max(1, block_height);
  const int32_t per_thread = (height + threads - 1) / threads;
  int64_t rows = (int64_t(per_thread) + bh - 1) / bh * bh;
  const uint64_t budget = std::min(host_memory_budget(), free_device_memory());
  const uint64_t fit = budget / (uint64_t(threads) * std::max<uint64_t>(1, bytes_per_row));
  if (fit < 1) {
    throw std::runtime_error(
        std::string(engine_name) + ": one row needs " + std::to_string(bytes_per_row) +
        " bytes per worker but the memory budget is " + std::to_string(budget) + " bytes");
  }
  const int64_t limit = fit >= uint64_t(bh) ? int64_t(fit / bh * bh) : int64_t(fit);
  rows = std::min(rows, limit);
  return int32_t(std::max<int64_t>(1, std::min<int64_t>(rows, height)));
}

}  // namespace velmorin::engine
