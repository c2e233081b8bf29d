// The video track as FFmpeg decodes it: frames from its send/receive loop, converted to BGRA with
// libswscale, and frames beyond the size limit refused with a reason.
#pragma once

#include <memory>

#include "ffmpeg_track_load.h"
#include "platform.h"

namespace trelvo::matte {

// The track of a loaded file; keeps `state` (the open file and its error log) alive.
std::unique_ptr<VideoTrack> makeFfmpegTrack(std::shared_ptr<LoadState> state);

}  // namespace trelvo::matte
