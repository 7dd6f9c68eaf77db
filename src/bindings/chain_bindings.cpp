// The Chain class: recording methods and terminal calls.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "bindings/bindings.hpp"
#include "bindings/chunk_stream.hpp"
#include "chain/chain.hpp"
#include "chain/delivery.hpp"
#include "chain/plan.hpp"

namespace py = pybind11;

namespace velmorin::bindings {
namespace {

using ChainPtr = std::shared_ptr<Chain>;

ChainPtr record(const Chain& chain, OperationRecord r) {
  return std::make_shared<Chain>(chain.with(std::move(r)));
}

const char* kind_name(OperationKind kind) {
  switch (kind) {
    case OperationKind::Algebra:
      return "algebra";
    case OperationKind::Clip:
      return "clip";
    case OperationKind::Reproject:
      return "reproject";
    case OperationKind::Focal:
      return "focal";
    case OperationKind::Terrain:
      return "terrain";
    case OperationKind::Texture:
      return "texture";
    case OperationKind::ZonalStats:
      return "zonal_stats";
  }
  return "unknown";
}

py::dict record_dict(const OperationRecord& r) {
  py::dict d;
  d["kind"] = kind_name(r.kind);
  switch (r.kind) {
    case OperationKind::Algebra:
      d["expression"] = r.expression;
      break;
    case OperationKind::Clip:
      d["geojson"] = r.geojson;
      break;
    case OperationKind::Reproject:
      d["target_crs"] = r.reproject.target_crs;
      d["res_x"] = r.reproject.res_x;
      d["res_y"] = r.reproject.res_y;
      d["resampling"] = r.reproject.resampling == 0 ? "nearest" : "bilinear";
      d["nodata"] = r.reproject.nodata;
      d["extent"] = r.reproject.has_extent
                        ? py::object(py::make_tuple(r.reproject.te_xmin, r.reproject.te_ymin,
                                                    r.reproject.te_xmax, r.reproject.te_ymax))
                        : py::object(py::none());
      break;
    case OperationKind::Focal:
      d["stat"] = r.focal.stat;
      d["radius"] = r.focal.radius;
      d["shape"] = r.focal.shape == 1 ? "circle" : "square";
      break;
    case OperationKind::Terrain:
      d["metrics"] = r.terrain.metrics;
      d["metric_mask"] = r.terrain.metric_mask;
      d["cell_size"] = py::make_tuple(r.terrain.cell_width, r.terrain.cell_height);
      break;
    case OperationKind::Texture:
      d["window"] = r.texture.window;
      d["levels"] = r.texture.levels;
      d["bands"] = r.texture.output_band_count;
      break;
    case OperationKind::ZonalStats:
      break;
  }
  return d;
}

}  // namespace

void register_chain(py::module_& m) {
  py::class_<Chain, ChainPtr> chain(
      m, "Chain", "A lazy raster pipeline: a source path and the operations recorded on it.");

  m.def(
      "open",
      [](const std::string& path) {
        return std::make_shared<Chain>(Chain{path, {}});
      },
      py::arg("path"), "Open a GeoTIFF and return a lazy Chain.");

  chain.def_property_readonly("path", [](const Chain& c) { return c.path; })
      .def_property_readonly(
          "records",
          [](const Chain& c) {
            py::list out;
            for (const OperationRecord& r : c.ops) out.append(record_dict(r));
            return out;
          },
          "The recorded operations, in order, as dicts.")
      .def("__repr__",
           [](const Chain& c) {
             std::string ops;
             for (const OperationRecord& r : c.ops)
               ops += std::string(ops.empty() ? "" : ", ") + kind_name(r.kind);
             return "Chain('" + c.path + "', [" + ops + "])";
           })
      .def(
          "algebra",
          [](const Chain& c, const std::string& expression) {
            OperationRecord r;
            r.kind = OperationKind::Algebra;
            r.expression = expression;
            return record(c, std::move(r));
          },
          py::arg("expression"))
      .def(
          "clip",
          [](const Chain& c, const std::string& geojson) {
            OperationRecord r;
            r.kind = OperationKind::Clip;
            r.geojson = geojson;
            return record(c, std::move(r));
          },
          py::arg("geojson"))
      .def("get_info",
           [](const Chain& c) {
             const RasterInfo info = output_info(c);
             py::dict d;
             d["width"] = info.width;
             d["height"] = info.height;
             d["geotransform"] =
                 py::cast(std::vector<double>(info.geotransform.begin(), info.geotransform.end()));
             d["crs"] = info.crs;
             return d;
           })
      .def(
          "reproject",
          [](const Chain& c, const std::string& target_crs, double res_x, double res_y,
             const std::string& resampling, double nodata, double te_xmin, double te_ymin,
             double te_xmax, double te_ymax) {
            OperationRecord r;
            r.kind = OperationKind::Reproject;
            r.reproject = make_reproject_params(target_crs, res_x, res_y, resampling, nodata,
                                                te_xmin, te_ymin, te_xmax, te_ymax);
            return record(c, std::move(r));
          },
          py::arg("target_crs"), py::arg("res_x") = 0.0, py::arg("res_y") = 0.0,
          py::arg("resampling") = "bilinear", py::arg("nodata") = -9999.0, py::arg("te_xmin") = 0.0,
          py::arg("te_ymin") = 0.0, py::arg("te_xmax") = 0.0, py::arg("te_ymax") = 0.0)
      .def(
          "focal",
          [](const Chain& c, const std::string& stat, int radius, const std::string& shape,
             bool clamp_border) {
            OperationRecord r;
            r.kind = OperationKind::Focal;
            r.focal = parse_focal(stat, radius, shape, clamp_border);
            return record(c, std::move(r));
          },
          py::arg("stat") = "mean", py::arg("radius") = 1, py::arg("shape") = "square",
          py::arg("clamp_border") = true,
          "Focal (neighborhood) statistics. stat: mean/sum/min/max/std/variance/median/range.")
      .def(
          "terrain",
          [](const Chain& c, std::vector<std::string> metrics, const std::string& unit,
             double sun_azimuth, double sun_altitude, const std::string& method) {
            const RasterInfo source = open_raster_info(c.path);
            OperationRecord r;
            r.kind = OperationKind::Terrain;
            r.terrain =
                parse_terrain(std::move(metrics), unit, sun_azimuth, sun_altitude, method, source);
            return record(c, std::move(r));
          },
          py::arg("metrics") = std::vector<std::string>{}, py::arg("unit") = "degrees",
          py::arg("sun_azimuth") = 315.0, py::arg("sun_altitude") = 45.0,
          py::arg("method") = "horn",
          "Terrain analysis. metrics: "
          "slope/aspect/hillshade/tri/tpi/roughness/prof_curv/plan_curv.")
      .def(
          "texture",
          [](const Chain& c, std::vector<std::string> features, int window, int levels,
             const std::string& direction_mode, bool log_scale, float val_min, float val_max) {
            OperationRecord r;
            r.kind = OperationKind::Texture;
            r.texture = parse_texture(std::move(features), window, levels, direction_mode,
                                      log_scale, val_min, val_max);
            return record(c, std::move(r));
          },
          py::arg("features") = std::vector<std::string>{}, py::arg("window") = 11,
          py::arg("levels") = 32, py::arg("direction_mode") = "average",
          py::arg("log_scale") = false, py::arg("val_min") = 0.0f, py::arg("val_max") = 0.0f,
          "GLCM texture features. Returns 18-band raster with Haralick features.")
      .def(
          "save_local",
          [](const Chain& c, const std::string& path, bool verbose) {
            py::gil_scoped_release release;
            save_local(c, path, verbose);
          },
          py::arg("path"), py::arg("verbose") = false)
      .def(
          "save_s3",
          [](const Chain& c, const std::string& s3_path, bool verbose) {
            py::gil_scoped_release release;
            save_s3(c, s3_path, verbose);
          },
          py::arg("s3_path"), py::arg("verbose") = false)
      .def(
          "to_memory",
          [](const Chain& c, bool verbose) {
            py::gil_scoped_release release;
            return to_memory(c, verbose);
          },
          py::arg("verbose") = false)
      .def(
          "iter_begin",
          [](const Chain& c, int buf_chunks) {
            return std::make_shared<ChunkStream>(iter_begin(c, buf_chunks));
          },
          py::arg("buf_chunks") = 4);
}

}  // namespace velmorin::bindings
