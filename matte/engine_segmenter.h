// The person segmentation backed by the project's segmentation engine and its built-in models: the
// accurate matte, at the frame's own size.
#pragma once

#include <cstddef>

#include "platform.h"

namespace trelvo::matte {

// Two threads for the networks and the pixel loops, the caller's and one more; the pool's workers
// sleep between runs, so between frames they take no core from the decoder or the file writer. The
// decoder works on the caller's thread (see ffmpeg_reader.cpp): its own threads would contend with
// the pool's, which then waits at every operator for a thread that is not running.
inline constexpr std::size_t kEngineThreads = 2;

// Makes the engine once per run from the embedded models, on the calling thread.
std::unique_ptr<Segmenter> makeEngineSegmenter(std::string& error);

}  // namespace trelvo::matte
