// The exit statuses of TrelvoPersonMatte, complete.
#pragma once

namespace trelvo::matte {

enum class ExitStatus : int {
  kOk = 0,
  kFailure = 1,             // output directory, no video track, no reader for the track, or
                            // the frame count cannot be written
  kUsage = 2,               // not exactly two operands
  kSegmentationFailed = 3,  // segmentation failed or gave no person mask
  kRenderFailed = 4,        // the stretched mask cannot be rendered
  kWriteFailed = 5,         // the matte file cannot be created or finished
  kDecodeIncomplete = 6,    // reading did not start, or the stream did not end cleanly with frames
};

}  // namespace trelvo::matte
