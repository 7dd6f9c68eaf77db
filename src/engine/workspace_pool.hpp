// A process-wide cache of per-worker device workspaces, rebuilt when the run's geometry
// changes. A run leases the cached set; a second run at the same time builds its own.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

namespace velmorin::engine {

template <class Key, class Workspace>
class WorkspacePool {
 public:
  class Lease {
   public:
    Lease(WorkspacePool* pool, Key key, std::vector<std::unique_ptr<Workspace>> workspaces)
        : pool_(pool), key_(key), workspaces_(std::move(workspaces)) {}
    ~Lease() { pool_->give_back(key_, std::move(workspaces_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Workspace& operator[](std::size_t i) { return *workspaces_[i]; }
    std::size_t size() const { return workspaces_.size(); }

   private:
    WorkspacePool* pool_;
    Key key_;
    std::vector<std::unique_ptr<Workspace>> workspaces_;
  };

  // Returns `count` workspaces built for `key`, reusing the cached ones when the key matches.
  template <class Make>
  std::unique_ptr<Lease> acquire(const Key& key, int count, Make make) {
    std::vector<std::unique_ptr<Workspace>> workspaces;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!cached_.empty() && cached_key_ == key && int(cached_.size()) == count) {
        workspaces = std::move(cached_);
        cached_.clear();
      }
    }
    if (workspaces.empty()) {
      {
        // Release the stale set before building, so both never hold memory at once.
        std::lock_guard<std::mutex> lock(mutex_);
        if (!(cached_key_ == key)) cached_.clear();
      }
      for (int i = 0; i < count; ++i) workspaces.push_back(make());
    }
    return std::make_unique<Lease>(this, key, std::move(workspaces));
  }

 private:
  void give_back(const Key& key, std::vector<std::unique_ptr<Workspace>> workspaces) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cached_.empty() || !(cached_key_ == key)) {
      cached_ = std::move(workspaces);
      cached_key_ = key;
    }
  }

  std::mutex mutex_;
  Key cached_key_{};
  std::vector<std::unique_ptr<Workspace>> cached_;
};

}  // namespace velmorin::engine
