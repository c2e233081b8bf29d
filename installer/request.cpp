#include "request.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "paths.h"

namespace trelvo::installer {

pid_t parseProcessId(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<pid_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

std::optional<UpdateRequest> checkRequest(Platform& platform,
                                          const std::vector<std::string>& arguments) {
  if (arguments.size() != 4) return std::nullopt;
  UpdateRequest request{parseProcessId(arguments[0]), arguments[1], arguments[2], arguments[3]};
  if (request.appPid <= 1) return std::nullopt;
  // A path that is not valid UTF-8 cannot be read as text, so it fails its first check.
  const auto absolute = [](const std::string& path) {
    return isValidUtf8(path) && isAbsolutePath(path);
  };
  if (!absolute(request.bundlePath)) return std::nullopt;
  if (!absolute(request.dataDirectory)) return std::nullopt;
  const uid_t euid = platform.effectiveUserId();
  if (euid == 0) return std::nullopt;
  if (pathExtension(request.bundlePath) != "app") return std::nullopt;
  if (!isValidUtf8(request.stagingDirectory) ||
      !lastPathComponent(request.stagingDirectory).starts_with(kStagingPrefix)) {
    return std::nullopt;
  }
  if (deletingLastPathComponent(request.stagingDirectory) !=
      deletingLastPathComponent(request.bundlePath)) {
    return std::nullopt;
  }
  // The staging directory is deleted when the run ends: were it the bundle, or held it, the
  // installed version would go with it.
  if (pathsOverlap(tidiedPath(request.stagingDirectory), tidiedPath(request.bundlePath))) {
    return std::nullopt;
  }
  // lstat of "link/" resolves the link, so the entry itself is looked at without trailing slashes.
  std::string_view entryPath = request.stagingDirectory;
  while (entryPath.size() > 1 && entryPath.back() == '/') entryPath.remove_suffix(1);
  const std::optional<EntryInfo> entry = platform.entryInfo(std::string(entryPath));
  if (!entry || !entry->isDirectory || entry->owner != euid || (entry->permissions & 077) != 0) {
    return std::nullopt;
  }
  // The same through links: a bundle path that leads to the staging directory, into it or to a
  // folder holding it. A bundle path that resolves to nothing is no such link; the exchange then
  // fails or moves the entry itself.
  const std::optional<std::string> realStaging = platform.resolvedPath(std::string(entryPath));
  if (!realStaging) return std::nullopt;
  const std::optional<std::string> realBundle = platform.resolvedPath(request.bundlePath);
  if (realBundle && pathsOverlap(*realStaging, *realBundle)) return std::nullopt;
  // A folder mounted at a second place (a bind mount) is one folder under two names that no link
  // resolution relates: the staging directory may not be the bundle that way either.
  if (platform.isSameFile(std::string(entryPath), request.bundlePath)) return std::nullopt;
  return request;
}

}  // namespace trelvo::installer
