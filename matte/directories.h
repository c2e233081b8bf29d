// Output directories on the POSIX file system.
#pragma once

#include <string>

namespace trelvo::matte {

// Creates `path` with its missing parents; true when it is a directory afterwards.
bool makeDirectories(const std::string& path);

}  // namespace trelvo::matte
