#include "run_matte.h"

#include <cinttypes>
#include <cstdint>
#include <memory>
#include <optional>

#include "background_writer.h"
#include "matte_writer.h"

namespace trelvo::matte {

ExitStatus runMatte(const std::vector<std::string>& operands, Platform& platform,
                    const SegmenterFactory& makeSegmenter, const RunOptions& options,
                    std::FILE* out, std::FILE* err) {
  if (operands.size() != 2) {
    (void)std::fputs("usage: TrelvoPersonMatte VIDEO OUT_DIR\n", err);
    return ExitStatus::kUsage;
  }
  const std::string& video = operands[0];
  const std::string& outputDirectory = operands[1];

  // The directory comes first so that it exists after every later failure.
  if (!platform.createDirectories(outputDirectory)) return ExitStatus::kFailure;

  std::unique_ptr<VideoTrack> track;
  if (platform.loadTrack(video, options.trackLoadTimeout, track) != TrackLoad::kLoaded || !track) {
    (void)std::fputs("no video track\n", err);
    return ExitStatus::kFailure;
  }

  std::unique_ptr<FrameReader> reader = track->makeReader();
  if (!reader) return ExitStatus::kFailure;
  if (!reader->startReading()) return ExitStatus::kDecodeIncomplete;

  // Made once and shared by every frame. A segmentation that cannot even be prepared is the
  // segmentation failure of the first frame, reported the same way.
  std::string error;
  std::unique_ptr<Segmenter> segmenter = makeSegmenter(error);
  if (!segmenter) {
    (void)std::fprintf(err, "%s\n", error.empty() ? "person segmentation failed" : error.c_str());
    return ExitStatus::kSegmentationFailed;
  }
  MatteContext context{platform, *segmenter, outputDirectory, err, {}, {}};

  // Each matte file is written while the next frame is decoded; the next frame is segmented only
  // once the file is whole. A file that cannot be written ends the run as it would one step after
  // the other: before a later frame is processed, and before what a later decode reports.
  BackgroundWriter writer(platform);
  std::uint64_t frames = 0;
  BgraFrame frame;
  while (reader->nextFrame(frame)) {
    if (!writer.finish()) return ExitStatus::kWriteFailed;
    std::optional<std::string> message;
    const ExitStatus status = makeFrameMatte(context, frame, message);
    if (message) (void)std::fputs(message->c_str(), err);
    if (status != ExitStatus::kOk) return status;
    writer.start(joinPath(outputDirectory, matteFileName(frames)), context.matte);
    ++frames;
  }
  if (!writer.finish()) return ExitStatus::kWriteFailed;

  if (reader->completed() && frames != 0) {
    // The count is the run's result: a caller that cannot receive it has not had a success.
    if (std::fprintf(out, "{\"frames\": %" PRIu64 "}\n", frames) < 0 || std::fflush(out) != 0) {
      return ExitStatus::kFailure;
    }
    return ExitStatus::kOk;
  }
  const std::string text = reader->errorText();
  (void)std::fprintf(err, "video decode did not complete (frames=%" PRIu64 "): %s\n", frames,
                     text.empty() ? "no frames" : text.c_str());
  return ExitStatus::kDecodeIncomplete;
}

}  // namespace trelvo::matte
