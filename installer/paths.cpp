#include "paths.h"

namespace trelvo::installer {

namespace {

std::string_view withoutTrailingSlash(std::string_view path) {
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

bool isAbsolutePath(std::string_view path) {
  return !path.empty() && (path.front() == '/' || path.front() == '~');
}

std::string lastPathComponent(std::string_view path) {
  path = withoutTrailingSlash(path);
  if (path == "/") return "/";
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string deletingLastPathComponent(std::string_view path) {
  path = withoutTrailingSlash(path);
  if (path == "/") return "/";
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string pathExtension(std::string_view path) {
  const std::string last = lastPathComponent(path);
  const auto dot = last.rfind('.');
  return dot == std::string::npos ? std::string() : last.substr(dot + 1);
}

std::string appendingPathComponent(std::string_view base, std::string_view tail) {
  while (!tail.empty() && tail.front() == '/') tail.remove_prefix(1);
  std::string joined(base);
  while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  if (joined != "/") joined += '/';
  joined += tail;
  return joined;
}

std::string tidiedPath(std::string_view path) {
  std::string tidy = path.starts_with('/') ? "/" : "";
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (!tidy.empty() && tidy.back() != '/') tidy += '/';
      tidy += part;
    }
    start = end + 1;
  }
  return tidy;
}

bool pathsOverlap(std::string_view first, std::string_view second) {
  const auto within = [](std::string_view inner, std::string_view outer) {
    if (!inner.starts_with(outer)) return false;
    // "/a/b/c" lies below "/a/b" and below "/"; "/a/bc" does not lie below "/a/b".
    return inner.size() == outer.size() || outer.ends_with('/') || inner[outer.size()] == '/';
  };
  return within(first, second) || within(second, first);
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t value = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      value = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace trelvo::installer
