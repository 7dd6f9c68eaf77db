// What the engines share: worker threads, memory budgets, locks, progress and delivery.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "chain/plan.hpp"
#include "device/device.hpp"
#include "io/gdal_handles.hpp"

namespace velmorin::engine {

// Worker threads per engine run: max(1, min(OpenMP's thread count, 11)), fixed at load.
int32_t engine_thread_count();

// Computes the host memory budget (0.55 x available physical memory) if not yet done.
void init_host_memory_budget();
// The budget in bytes, lowered by VELMORIN_HOST_MEMORY_BUDGET (bytes) when that is set.
uint64_t host_memory_budget();
// Free device memory in bytes as the engines size against it.
uint64_t free_device_memory();

extern std::mutex output_write_lock;
extern std::mutex progress_lock;

// Progress printed through GDAL's terminal printer when verbose: 0, each chunk, 1.0.
class Progress {
 public:
  Progress(bool verbose, int chunk_count);
  void start();
  void chunk_done();
  void finish();

 private:
  bool verbose_;
  int chunk_count_;
  std::atomic<int> done_{0};
};

// Runs body(chunk, worker) for every chunk on `threads` worker threads, one chunk at a time
// with a dynamic schedule. The first exception stops the remaining chunks and is rethrown
// once every worker has stopped.
void run_chunks(int threads, int chunk_count,
                const std::function<void(int chunk, int worker)>& body);

// Hands a finished strip to the plan's consumers: the output band (under output_write_lock),
// then the chunk sink, then the memory sink.
void deliver(const ExecutionPlan& plan, int32_t width, int32_t rows, const float* data,
             int32_t first_row);

// Silences GDAL's error printing on this thread while keeping the last error message.
class QuietGdalErrors {
 public:
  QuietGdalErrors();
  ~QuietGdalErrors();
  QuietGdalErrors(const QuietGdalErrors&) = delete;
  QuietGdalErrors& operator=(const QuietGdalErrors&) = delete;
};

// Reads rows [first, first + rows) of the listed bands as float32, one buffer per band
// (band_list entries are zero-based). Pixel-interleaved files are read in one call and
// de-interleaved. A failed read raises "Read failed: " + path.
void read_band_rows(GDALDataset& dataset, const std::string& path, const RasterInfo& info,
                    const std::vector<int32_t>& band_list, int32_t first, int32_t rows,
                    const std::vector<float*>& destinations);

// Opens one read-only handle per worker ("Open failed: " + path).
std::vector<DatasetPtr> open_worker_datasets(const std::string& path, int workers);

// Rows per chunk for a per-pixel run: about one chunk per worker, in whole blocks, bounded
// so that `bytes_per_row` times the rows of every worker fits the host budget and free device
// memory. The chunk height grows in whole blocks so that reads follow the file's layout, unless
// not even one block row fits, when it falls to the rows that do.
int32_t rows_per_chunk_for(int32_t height, int32_t block_height, int threads,
                           uint64_t bytes_per_row, const char* engine_name);

// A device copy of the algebra program (an empty buffer for an empty program).
device::DeviceBuffer upload_program(const std::vector<Instruction>& program);

// Rounds a float count up to a multiple of four, so that consecutive bands stay 16-byte aligned.
inline uint64_t aligned_floats(uint64_t floats) {
  return (floats + 3) / 4 * 4;
}

}  // namespace velmorin::engine
