// The person segmentation backed by the project's segmentation engine and its built-in model.
#pragma once

#include "platform.h"

namespace trelvo::matte {

// Makes the engine once per run from the embedded model, on the calling thread.
std::unique_ptr<Segmenter> makeEngineSegmenter(std::string& error);

}  // namespace trelvo::matte
