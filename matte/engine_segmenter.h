// The person segmentation backed by the project's segmentation engine and its built-in models: the
// accurate matte, at the frame's own size.
#pragma once

#include "platform.h"

namespace trelvo::matte {

// Makes the engine once per run from the embedded models, on the calling thread.
std::unique_ptr<Segmenter> makeEngineSegmenter(std::string& error);

}  // namespace trelvo::matte
