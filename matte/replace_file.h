// Files whose name only ever holds a whole content, however the program fails: written beside the
// name, then renamed over it. There is no fsync (mattes can be made again), so after a power loss
// the name may hold an empty file, and a killed run leaves its temporary file behind.
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
