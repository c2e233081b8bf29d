// Where one update's files lie: the file names the app and the installer agree on, and the paths
// they make for one request, derived once.
#pragma once

#include <string>

namespace trelvo::installer {

// Under the data directory: the app writes it before quitting, naming the installer's process.
inline constexpr char kHandoffFile[] = "run/native-update.json";
// Under the staging directory.
inline constexpr char kStagedBundleName[] = "Trelvo Pro.app";
inline constexpr char kReadyMarkerName[] = "ready";
inline constexpr char kStatusFileName[] = "service-status.json";
// Under a bundle: the launcher through which that version's background services are stopped.
inline constexpr char kServiceLauncher[] = "Contents/Helpers/TrelvoService";

struct StagingLayout {
  std::string bundle;            // the installed bundle: the new version once exchanged
  std::string stagingDirectory;  // deleted when the run ends
  std::string dataDirectory;
  std::string handoffFile;
  std::string stagedBundle;  // the new version; the previous one once exchanged
  std::string readyMarker;   // created by the new version when it is ready
  std::string statusFile;    // what the previous version's launcher reports on its services
};

StagingLayout stagingLayout(const std::string& bundle, const std::string& stagingDirectory,
                            const std::string& dataDirectory);

}  // namespace trelvo::installer
