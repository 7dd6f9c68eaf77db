// Owning handles for GDAL objects.
#pragma once

#include <gdal_priv.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace velmorin {

struct DatasetCloser {
  void operator()(GDALDataset* dataset) const {
    if (dataset) GDALClose(GDALDataset::ToHandle(dataset));
  }
};
using DatasetPtr = std::unique_ptr<GDALDataset, DatasetCloser>;

inline DatasetPtr open_dataset(const std::string& path, GDALAccess access = GA_ReadOnly) {
  return DatasetPtr(GDALDataset::FromHandle(GDALOpen(path.c_str(), access)));
}

// The last GDAL error message, or a fallback when there is none.
inline std::string last_gdal_error(const char* fallback = "unknown error") {
  const char* message = CPLGetLastErrorMsg();
  return (message && *message) ? std::string(message) : std::string(fallback);
}

// Closes (and so flushes) a dataset; a failure raises std::runtime_error(what + ": " + GDAL's
// message).
inline void close_dataset_checked(DatasetPtr& dataset, const std::string& what) {
  if (!dataset) return;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  CPLErrorReset();
  GDALClose(GDALDataset::ToHandle(dataset.release()));
  const bool failed = CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal;
  const std::string message = last_gdal_error("closing the dataset failed");
  CPLPopErrorHandler();
  if (failed) throw std::runtime_error(what + ": " + message);
}

}  // namespace velmorin
