// Path operations on strings only: nothing is resolved, expanded or looked up on disk.
#pragma once

#include <string>
#include <string_view>

namespace trelvo::installer {

// Begins with "/" or "~" (a leading "~" is taken literally later, never expanded).
bool isAbsolutePath(std::string_view path);
// The text after the last "/", a single trailing "/" ignored.
std::string lastPathComponent(std::string_view path);
// The path without its last component and the "/" before it; "/" for an item under the root.
std::string deletingLastPathComponent(std::string_view path);
// The text after the last "." of the last component; empty without one.
std::string pathExtension(std::string_view path);
// `base` and `tail` with exactly one "/" between them; `tail` may hold several components.
std::string appendingPathComponent(std::string_view base, std::string_view tail);
// The path without empty and "." components and without a trailing "/"; ".." and a leading "~"
// stay as written.
std::string tidiedPath(std::string_view path);
// Whether two tidied paths name the same item, or one lies below the other.
bool pathsOverlap(std::string_view first, std::string_view second);
// Whether the bytes are well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace trelvo::installer
