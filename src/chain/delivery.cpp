#include "chain/delivery.hpp"

#include <cpl_vsi.h>

#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "device/host_memory.hpp"
#include "io/gdal_handles.hpp"
#include "io/geotiff_output.hpp"

namespace velmorin {

void ChunkQueue::push(Chunk chunk) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [&] { return cancelled_ || int32_t(chunks_.size()) < capacity_; });
  if (cancelled_) throw RunCancelled();
  chunks_.push_back(std::move(chunk));
  changed_.notify_all();
}

void ChunkQueue::finish(std::exception_ptr error) {
  std::lock_guard<std::mutex> guard(lock_);
  done_ = true;
  if (!cancelled_) error_ = error;
  changed_.notify_all();
}

std::optional<Chunk> ChunkQueue::next() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [&] { return !chunks_.empty() || done_; });
  if (chunks_.empty()) {
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    return std::nullopt;
  }
  Chunk chunk = std::move(chunks_.front());
  chunks_.pop_front();
  changed_.notify_all();
  return chunk;
}

void ChunkQueue::cancel() {
  std::lock_guard<std::mutex> guard(lock_);
  cancelled_ = true;
  chunks_.clear();
  changed_.notify_all();
}

bool ChunkQueue::finished() {
  std::lock_guard<std::mutex> guard(lock_);
  return done_;
}

void check_memory_need(uint64_t required, uint64_t available) {
  const uint64_t budget = uint64_t(double(available) * 0.75);
  if (required > budget) {
    throw std::runtime_error("MemoryError: raster requires " +
                             std::to_string(required / (1024 * 1024)) + " MB but only " +
                             std::to_string(budget / (1024 * 1024)) +
                             " MB is safely available. Use iter_begin() to stream chunks instead.");
  }
}

std::shared_ptr<RasterResult> to_memory(const Chain& chain, bool verbose) {
  const RasterInfo info = output_info(chain);
  const uint64_t required = uint64_t(uint32_t(info.width)) * uint64_t(uint32_t(info.height)) * 4;
  check_memory_need(required, device::available_physical_memory());
  auto result = std::make_shared<RasterResult>();
  result->width = info.width;
  result->height = info.height;
  result->info = info;
  result->proj = info.crs;
  result->geotransform = info.geotransform;
  result->data.assign(std::size_t(info.width) * info.height, 0.0f);
  RunSinks sinks;
  float* data = result->data.data();
  sinks.memory_sink = [data](int32_t w, int32_t rows, const float* values, int32_t y) {
    std::memcpy(data + std::size_t(w) * y, values, std::size_t(w) * rows * sizeof(float));
  };
  run_chain(chain, sinks, verbose);
  return result;
}

void save_local(const Chain& chain, const std::string& path, bool verbose) {
  const RasterInfo info = output_info(chain);
  DatasetPtr dataset = open_output_geotiff(path, info);
  try {
    RunSinks sinks;
    sinks.output_band = dataset->GetRasterBand(1);
    run_chain(chain, sinks, verbose);
    close_dataset_checked(dataset, "Writing " + path + " failed");
  } catch (...) {
    dataset.reset();  // close before removing, so that no half-written file remains
    VSIUnlink(path.c_str());
    throw;
  }
}

void save_s3(const Chain& chain, const std::string& s3_path, bool verbose) {
  std::shared_ptr<RasterResult> result = to_memory(chain, verbose);
  write_s3(s3_path, result->info, result->data);
}

std::shared_ptr<ChunkQueue> iter_begin(const Chain& chain, int32_t buf_chunks) {
  if (buf_chunks < 1)
    throw std::invalid_argument("iter_begin: buf_chunks must be at least 1, got " +
                                std::to_string(buf_chunks));
  auto queue = std::make_shared<ChunkQueue>(buf_chunks);
  auto worker = [chain_copy = chain, queue] {
    std::exception_ptr error;
    try {
      RunSinks sinks;
      sinks.chunk_sink = [&queue](int32_t w, int32_t rows, const float* values, int32_t y) {
        Chunk chunk;
        chunk.data.assign(values, values + std::size_t(w) * rows);
        chunk.width = w;
        chunk.height = rows;
        chunk.y_offset = y;
        queue->push(std::move(chunk));
      };
      run_chain(chain_copy, sinks, false);
    } catch (const RunCancelled&) {
    } catch (...) {
      error = std::current_exception();
    }
    queue->finish(error);
  };
  try {
    std::thread(std::move(worker)).detach();
  } catch (const std::system_error& e) {
    throw std::runtime_error(std::string("iter_begin: cannot start the worker thread: ") +
                             e.what());
  }
  return queue;
}

}  // namespace velmorin
