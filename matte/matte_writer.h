// The per-frame matte step: segment the frame, stretch the person mask to the frame's size and
// write it as an 8-bit grayscale PNG named by frame index.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "exit_status.h"
#include "platform.h"

namespace trelvo::matte {

// "%06lu.png" of the frame index: at least six digits, zero-filled.
std::string matteFileName(std::uint64_t index);

// `directory` and `name` joined with exactly one "/" between them.
std::string joinPath(const std::string& directory, const std::string& name);

// Stretches `mask` (w x h) to `width` x `height` bilinearly, each axis scaled on its own by
// width / w and height / h about the origin, sampling at pixel centres. False, leaving `out` as it
// was, when either size is empty, the mask's pixels do not match its size, or the frame is larger
// than kMaxFrameSide a side.
bool renderMatte(const PersonMask& mask, std::uint32_t width, std::uint32_t height, GrayImage& out);

// What the matte step keeps from frame to frame: the shared segmentation, the output directory and
// the mask and matte buffers, reused (the run trades the matte for the background writer's, so two
// take turns). Only a mask that must be stretched allocates on every frame, for the stretch.
struct MatteContext {
  Platform& platform;
  Segmenter& segmenter;
  std::string outputDirectory;
  std::FILE* err;
  PersonMask mask;
  GrayImage matte;
};

// Makes the matte of one frame in `context.matte`: kOk, kSegmentationFailed or kRenderFailed.
// When the segmentation failed with an error (rather than answering without a mask), `message`
// holds the line the step writes for it; nothing is written here.
ExitStatus makeFrameMatte(MatteContext& context, const BgraFrame& frame,
                          std::optional<std::string>& message);

// Writes the matte file of one frame. Returns kOk, kSegmentationFailed (with the segmentation's
// message on `err`), kRenderFailed or kWriteFailed; only the segmentation failure writes a message.
ExitStatus writeFrameMatte(MatteContext& context, const BgraFrame& frame, std::uint64_t index);

}  // namespace trelvo::matte
