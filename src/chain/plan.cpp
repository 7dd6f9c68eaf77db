#include "chain/plan.hpp"

#include <cpl_vsi.h>

#include <algorithm>
#include <stdexcept>

#include "algebra/compiler.hpp"
#include "engine/reproject_plan.hpp"
#include "engine/tile_engine.hpp"
#include "io/gdal_handles.hpp"
#include "io/geotiff_output.hpp"

namespace velmorin {
namespace {

constexpr const char* kValidityMessage =
    "Chain must contain at least one algebra(), focal(), terrain(), texture(), or zonal_stats() "
    "operation.";

const OperationRecord* first_reproject(const std::vector<OperationRecord>& records) {
  for (const OperationRecord& r : records)
    if (r.kind == OperationKind::Reproject) return &r;
  return nullptr;
}

void check_band_range(const std::vector<int32_t>& band_list, const RasterInfo& source,
                      const std::string& path) {
  for (int32_t band : band_list) {
    if (band < 0 || band >= source.band_count) {
      throw std::invalid_argument("Band B" + std::to_string(band + 1) + " does not exist: " + path +
                                  " has " + std::to_string(source.band_count) + " band(s)");
    }
  }
}

// The plan of the records on `source`. With `require_compute` the chain must hold a computing
// record; without it a plan without algebra reads band 1 unchanged.
ExecutionPlan plan_records(const std::vector<OperationRecord>& records, const RasterInfo& source,
                           const std::string& path, bool require_compute) {
  ExecutionPlan plan;
  if (const OperationRecord* r = first_reproject(records)) {
    plan.has_reproject = true;
    plan.reproject = r->reproject;
    plan.target_info = plan_target_grid(source, r->reproject);
  }
  const RasterInfo& clip_grid = plan.has_reproject ? plan.target_info : source;
  ClipAccumulator clip;
  std::vector<int32_t> bands;
  bool algebra_seen = false, neighbourhood_seen = false;
  for (const OperationRecord& r : records) {
    switch (r.kind) {
      case OperationKind::Algebra:
        plan.program = compile_expression(r.expression, bands);
        algebra_seen = true;
        break;
      case OperationKind::Clip:
        plan.has_clip = true;
        clip.add_geojson(r.geojson, clip_grid);
        break;
      case OperationKind::Reproject:
        break;
      case OperationKind::Focal:
        plan.has_focal = true;
        plan.focal = r.focal;
        plan.output_band_count = 1;
        neighbourhood_seen = true;
        break;
      case OperationKind::Terrain:
        plan.has_terrain = true;
        plan.terrain = r.terrain;
        plan.output_band_count = r.terrain.metric_count;
        neighbourhood_seen = true;
        break;
      case OperationKind::Texture:
        plan.has_texture = true;
        plan.texture = r.texture;
        plan.output_band_count = r.texture.output_band_count;
        neighbourhood_seen = true;
        break;
      case OperationKind::ZonalStats:
        plan.has_zonal = true;
        plan.zonal.geojson = r.zonal.geojson;
        plan.zonal.stats = r.zonal.stats;
        plan.zonal.band = r.zonal.band;
        break;
    }
  }
  if (require_compute && !algebra_seen && !neighbourhood_seen && !plan.has_zonal)
    throw std::runtime_error(kValidityMessage);
  if (!algebra_seen && !require_compute) plan.program = {Instruction{kLoadBand, 0.0f, 0}};
  if (bands.empty()) bands.push_back(0);
  check_band_range(bands, source, path);
  plan.band_list = std::move(bands);
  if (plan.has_clip) plan.clip_rows = clip.build();
  return plan;
}

// Intermediate rasters of a staged run, removed when the run ends (also when it fails).
class StageFiles {
 public:
  StageFiles() = default;
  StageFiles(const StageFiles&) = delete;
  StageFiles& operator=(const StageFiles&) = delete;
  ~StageFiles() {
    for (const std::string& name : names_) VSIUnlink(name.c_str());
  }
  std::string next() {
    names_.push_back(temporary_raster_name());
    return names_.back();
  }

 private:
  std::vector<std::string> names_;
};

bool changes_pixels(const OperationRecord& r, bool reproject_done) {
  return r.kind == OperationKind::Algebra || r.kind == OperationKind::Clip ||
         (r.kind == OperationKind::Reproject && !reproject_done);
}

}  // namespace

RasterInfo output_info(const Chain& chain) {
  RasterInfo source = open_raster_info(chain.path);
  if (const OperationRecord* r = first_reproject(chain.ops))
    return plan_target_grid(source, r->reproject);
  return source;
}

ExecutionPlan build_plan(const std::vector<OperationRecord>& records, const RasterInfo& source,
                         const Chain& chain) {
  return plan_records(records, source, chain.path, /*require_compute=*/true);
}

namespace {

void attach(ExecutionPlan& plan, const RunSinks& sinks) {
  plan.output_band = sinks.output_band;
  plan.memory_sink = sinks.memory_sink;
  plan.chunk_sink = sinks.chunk_sink;
}

void run_plan(const std::string& path, ExecutionPlan& plan, bool verbose) {
  if (plan.has_focal || plan.has_terrain || plan.has_texture) {
    engine::run_engine_neighborhood(path, plan, verbose);
  } else if (plan.has_zonal) {
    throw std::runtime_error("zonal statistics are not available in this build");
  } else {
    engine::run_tile_engine(path, plan, verbose);
  }
}

// Runs `plan` on `path` into a new intermediate Float32 raster on `grid`; returns its name.
std::string run_into_stage_file(const std::string& path, ExecutionPlan& plan,
                                const RasterInfo& grid, StageFiles& files, bool verbose) {
  const std::string name = files.next();
  DatasetPtr dataset = open_intermediate_geotiff(name, grid);
  plan.output_band = dataset->GetRasterBand(1);
  run_plan(path, plan, verbose);
  plan.output_band = nullptr;
  close_dataset_checked(dataset, "Writing an intermediate raster failed");
  return name;
}

}  // namespace

void run_chain(const Chain& chain, const RunSinks& sinks, bool verbose) {
  const RasterInfo source = open_raster_info(chain.path);
  const auto& ops = chain.ops;
  const auto last_neighbourhood = std::find_if(
      ops.rbegin(), ops.rend(), [](const OperationRecord& r) { return r.is_neighbourhood(); });
  if (last_neighbourhood == ops.rend()) {
    ExecutionPlan plan = build_plan(ops, source, chain);
    attach(plan, sinks);
    run_plan(chain.path, plan, verbose);
    return;
  }

  // Records take effect in the order written: a neighbourhood operation reads the result of
  // everything recorded before it. Each stage but the last writes an intermediate raster.
  build_plan(ops, source, chain);  // validates the whole chain before any pixel is read
  StageFiles files;
  std::string input = chain.path;
  RasterInfo input_info = source;
  bool reproject_done = false;
  std::vector<OperationRecord> pending;
  const std::size_t last_index = std::size_t(ops.rend() - last_neighbourhood) - 1;
  bool tail_changes = false;
  for (std::size_t i = last_index + 1; i < ops.size(); ++i) {
    if (ops[i].kind == OperationKind::Reproject && first_reproject(ops) != &ops[i]) continue;
    tail_changes = tail_changes || changes_pixels(ops[i], false);
  }

  auto take_pending = [&] {
    std::vector<OperationRecord> records;
    for (const OperationRecord& r : pending) {
      if (r.kind == OperationKind::Reproject) {
        if (reproject_done) continue;
        reproject_done = true;
      }
      records.push_back(r);
    }
    pending.clear();
    return records;
  };

  for (std::size_t i = 0; i < ops.size(); ++i) {
    const OperationRecord& record = ops[i];
    if (!record.is_neighbourhood()) {
      if (record.kind != OperationKind::ZonalStats) pending.push_back(record);
      continue;
    }
    const bool pixel_stage =
        std::any_of(pending.begin(), pending.end(),
                    [&](const OperationRecord& r) { return changes_pixels(r, reproject_done); });
    std::vector<OperationRecord> records = take_pending();
    if (pixel_stage) {
      ExecutionPlan plan = plan_records(records, input_info, input, /*require_compute=*/false);
      const RasterInfo grid = plan.has_reproject ? plan.target_info : input_info;
      input = run_into_stage_file(input, plan, grid, files, false);
      input_info = open_raster_info(input);
    }
    ExecutionPlan plan = plan_records({record}, input_info, input, /*require_compute=*/true);
    if (i == last_index && !tail_changes) {
      attach(plan, sinks);
      run_plan(input, plan, verbose);
      return;
    }
    input = run_into_stage_file(input, plan, input_info, files, false);
    input_info = open_raster_info(input);
  }
  ExecutionPlan plan = plan_records(take_pending(), input_info, input, /*require_compute=*/false);
  attach(plan, sinks);
  run_plan(input, plan, verbose);
}

}  // namespace velmorin
