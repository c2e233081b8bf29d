#include "paths.h"

#include <algorithm>
#include <vector>

namespace trelvo::service {
namespace {

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string joinComponents(const std::vector<std::string>& parts, bool absolute) {
  if (parts.empty()) return absolute ? std::string(1, '/') : std::string();
  std::string path;
  for (const auto& part : parts) {
    if (!path.empty() || absolute) path += '/';
    path += part;
  }
  return path;
}

// Lexical clean-up of a relative path: nothing on the disk anchors it.
std::string standardizeRelative(std::string_view path) {
  std::vector<std::string> out;
  for (auto& part : components(path)) {
    if (part == ".") continue;
    if (part == ".." && !out.empty() && out.back() != "..") {
      out.pop_back();
      continue;
    }
    out.push_back(std::move(part));
  }
  return joinComponents(out, false);
}

}  // namespace

bool isAbsolutePath(std::string_view path) {
  return !path.empty() && (path.front() == '/' || path.front() == '~');
}

std::string joinPath(std::string_view first, std::string_view second) {
  while (!second.empty() && second.front() == '/') second.remove_prefix(1);
  if (second.empty()) return std::string(first);
  if (first.empty()) return std::string(second);
  while (first.size() > 1 && first.back() == '/') first.remove_suffix(1);
  std::string joined(first);
  if (joined.back() != '/') joined += '/';
  joined += second;
  return joined;
}

std::string deleteLastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return std::string(parent);
}

std::optional<std::string> resolveSymlinks(Platform& platform, std::string_view path) {
  if (path.empty() || path.front() != '/') return standardizeRelative(path);
  if (path.size() > kPathLengthLimit) return std::nullopt;

  // Components still to walk, the next one last; `resolved` never holds a link, so ".." can be
  // taken lexically from it and still names the real parent.
  std::vector<std::string> pending = components(path);
  std::reverse(pending.begin(), pending.end());
  std::string resolved;
  int links = 0;
  while (!pending.empty()) {
    std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      resolved.resize(resolved.rfind('/') == std::string::npos ? 0 : resolved.rfind('/'));
      continue;
    }
    std::string next = resolved + '/' + part;
    if (next.size() > kPathLengthLimit) return std::nullopt;
    if (!platform.isSymbolicLink(next)) {
      resolved = std::move(next);
      continue;
    }
    if (++links > kSymbolicLinkLimit) return std::nullopt;
    const auto target = platform.readLink(next);
    if (!target || target->empty() || target->size() > kPathLengthLimit) return std::nullopt;
    auto targetParts = components(*target);
    if (target->front() == '/') resolved.clear();
    pending.insert(pending.end(), targetParts.rbegin(), targetParts.rend());
  }
  return resolved.empty() ? std::string("/") : resolved;
}

std::optional<std::string> standardizePath(Platform& platform, std::string_view path) {
  if (path.empty() || path.front() != '/') return standardizeRelative(path);
  if (path.size() > kPathLengthLimit) return std::nullopt;
  std::vector<std::string> out;
  for (auto& part : components(path)) {
    if (part == ".") continue;
    if (part == "..") {
      // The parent of a link is the parent of what it points to.
      const auto real = resolveSymlinks(platform, joinComponents(out, true));
      if (!real) return std::nullopt;
      out = components(*real);
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(std::move(part));
  }
  return joinComponents(out, true);
}

}  // namespace trelvo::service
