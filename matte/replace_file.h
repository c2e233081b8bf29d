// Files whose name only ever holds a whole content: written beside the name, then renamed over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trelvo::matte {

// Puts `bytes` at `path` by way of a new file in the same directory, made with O_EXCL and renamed
// over the name once it is whole: a link at the name is replaced, never followed. False, with the
// new file removed, when it cannot be created, written completely (a full disk included) or
// renamed.
bool replaceFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace trelvo::matte
