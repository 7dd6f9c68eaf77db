#include <stdexcept>

#include "engine/tile_engine.hpp"

namespace velmorin::engine {

void run_engine_neighborhood(const std::string&, const ExecutionPlan&, bool) {
  throw std::runtime_error("the neighbourhood engine is not available in this build");
}

}  // namespace velmorin::engine
