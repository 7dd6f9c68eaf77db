// Terminal calls: results in memory, GeoTIFF files, uploads and streamed strips.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "chain/chain.hpp"
#include "chain/plan.hpp"

namespace velmorin {

struct RasterResult {
  int32_t width = 0;
  int32_t height = 0;
  RasterInfo info;
  std::string proj;
  std::array<double, 6> geotransform{};
  std::vector<float> data;
};

struct Chunk {
  std::vector<float> data;
  int32_t width = 0;
  int32_t height = 0;
  int32_t y_offset = 0;
};

// Raised inside a run whose consumer has gone away; it ends the run quietly.
struct RunCancelled : std::exception {
  const char* what() const noexcept override { return "the stream was cancelled"; }
};

// Bounded FIFO between a background run and its consumer.
class ChunkQueue {
 public:
  explicit ChunkQueue(int32_t capacity) : capacity_(capacity) {}

  // Producer: waits while `capacity` chunks are queued; raises RunCancelled once cancelled.
  void push(Chunk chunk);
  // Producer: the run has ended, with `error` set when it failed.
  void finish(std::exception_ptr error);
  // Consumer: the next chunk; nullopt at the end. A failed run's error is raised once, after
  // the chunks delivered before it.
  std::optional<Chunk> next();
  // Consumer: stop the run (the producer's next push raises RunCancelled).
  void cancel();
  bool finished();

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Chunk> chunks_;
  int32_t capacity_;
  bool done_ = false;
  bool cancelled_ = false;
  std::exception_ptr error_;
};

// Raises "MemoryError: raster requires R MB but only A MB is safely available. ..." when
// `required` bytes exceed 75 % of `available` bytes.
void check_memory_need(uint64_t required, uint64_t available);

std::shared_ptr<RasterResult> to_memory(const Chain& chain, bool verbose);
void save_local(const Chain& chain, const std::string& path, bool verbose);
void save_s3(const Chain& chain, const std::string& s3_path, bool verbose);
// Starts the background run and returns its queue at once. buf_chunks must be at least 1.
std::shared_ptr<ChunkQueue> iter_begin(const Chain& chain, int32_t buf_chunks);

}  // namespace velmorin
