#include <stdexcept>

#include "engine/tile_engine.hpp"

namespace velmorin::engine {

void run_reproject_engine(const std::string&, const ExecutionPlan&, bool) {
  throw std::runtime_error("reproject: the reprojection engine is not available in this build");
}

}  // namespace velmorin::engine
