#include "staging_layout.h"

#include "paths.h"

namespace trelvo::installer {

StagingLayout stagingLayout(const std::string& bundle, const std::string& stagingDirectory,
                            const std::string& dataDirectory) {
  return StagingLayout{
      bundle,
      stagingDirectory,
      dataDirectory,
      appendingPathComponent(dataDirectory, kHandoffFile),
      appendingPathComponent(stagingDirectory, kStagedBundleName),
      appendingPathComponent(stagingDirectory, kReadyMarkerName),
      appendingPathComponent(stagingDirectory, kStatusFileName),
  };
}

}  // namespace trelvo::installer
