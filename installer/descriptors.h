// Descriptor helpers shared by the installer's Linux code.
#pragma once

#include <string_view>

namespace trelvo::installer {

// Moves `fd` above the standard streams, close-on-exec, and returns the descriptor to use: `fd`
// itself when it already lies above them, else a copy (`fd` is closed either way), or -1 when no
// copy could be made. -1 stays -1.
int aboveStandardStreams(int fd);

// Writes all of `bytes` to `fd`, going on after short writes and interruptions. False on any other
// failure, with errno telling which.
bool writeAll(int fd, std::string_view bytes);

}  // namespace trelvo::installer
