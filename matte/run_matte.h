// The program's run: command line, output directory, bounded track load, frame loop and the
// judgement of the end of the stream.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "exit_status.h"
#include "platform.h"

namespace trelvo::matte {

// How long the track load may take before the run gives up with "no video track".
inline constexpr std::chrono::milliseconds kTrackLoadTimeout{60000};

struct RunOptions {
  std::chrono::milliseconds trackLoadTimeout = kTrackLoadTimeout;
};

// Runs TrelvoPersonMatte on its operands (the arguments after the program name). Writes the
// frame-count line to `out` on kOk and at most one message to `err` otherwise.
ExitStatus runMatte(const std::vector<std::string>& operands, Platform& platform,
                    const SegmenterFactory& makeSegmenter, const RunOptions& options,
                    std::FILE* out, std::FILE* err);

}  // namespace trelvo::matte
