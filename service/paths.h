// Path strings: joining, splitting and the two file-system-aware clean-ups the launcher relies on.
// Paths are byte strings with "/" as the separator; nothing here expands a leading "~".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform.h"

namespace trelvo::service {

// Links followed while resolving one path before it is given up as a loop.
inline constexpr int kSymbolicLinkLimit = 40;
// Longest path the resolution builds before giving up.
inline constexpr std::size_t kPathLengthLimit = 65536;

// True exactly when `path` begins with "/" or "~".
bool isAbsolutePath(std::string_view path);

// `first` and `second` with exactly one "/" between them; `second` may hold several components.
// An empty `second` leaves `first` as it is.
std::string joinPath(std::string_view first, std::string_view second);

// `path` without its last component and the separator before it (a trailing separator ignored);
// "/" for an item directly under the root, "" for a single relative component.
std::string deleteLastPathComponent(std::string_view path);

// Removes empty and "." components and any trailing separator; in an absolute path each ".." is
// resolved against the real parent of what precedes it (links before it followed). Nothing when
// that resolution gives up (a link loop, or a path past kPathLengthLimit).
std::optional<std::string> standardizePath(Platform& platform, std::string_view path);

// Follows every symbolic link of an absolute path, component by component, and standardizes the
// result; components that do not exist stay as written. A relative path is only cleaned up.
// Nothing after more than kSymbolicLinkLimit links or past kPathLengthLimit.
std::optional<std::string> resolveSymlinks(Platform& platform, std::string_view path);

}  // namespace trelvo::service
