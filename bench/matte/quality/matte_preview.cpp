// The demo's picture of a video's mattes: for some of its frames, the frame, today's single-pass
// matte (the finder model alone on the whole frame, stretched), the matte TrelvoPersonMatte wrote,
// and the person cut out by it over a checkerboard.
//
//   matte_preview VIDEO MATTE_DIR OUT.png FRAME_INDEX...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "matte_writer.h"
#include "pictures.h"
#include "platform_linux.h"
#include "scenes.h"

int main(int argc, char** argv) {
  using namespace trelvo::matte;
  using namespace trelvo::matte::testing;
  if (argc < 5) {
    std::fprintf(stderr, "usage: matte_preview VIDEO MATTE_DIR OUT.png FRAME_INDEX...\n");
    return 2;
  }
  std::set<std::uint64_t> wanted;
  for (int i = 4; i < argc; ++i) wanted.insert(std::strtoull(argv[i], nullptr, 10));

  LinuxPlatform platform;
  std::unique_ptr<VideoTrack> track;
  if (platform.loadTrack(argv[1], std::chrono::seconds(60), track) != TrackLoad::kLoaded) {
    std::fprintf(stderr, "matte_preview: no video track in %s\n", argv[1]);
    return 1;
  }
  std::unique_ptr<FrameReader> reader = track->makeReader();
  std::string error;
  std::unique_ptr<SegmentationEngine> single =
      SegmentationEngine::create(embeddedModel(), 1, error);
  if (!reader || !reader->startReading() || !single) {
    std::fprintf(stderr, "matte_preview: cannot read the video: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::vector<Image>> rows;
  BgraFrame frame;
  for (std::uint64_t index = 0; reader->nextFrame(frame) && !wanted.empty(); ++index) {
    if (wanted.erase(index) == 0) continue;
    Image picture{frame.width, frame.height, {}};
    for (std::uint32_t y = 0; y < frame.height; ++y) {
      const std::uint8_t* row = frame.pixels + y * frame.stride;
      picture.bgra.insert(picture.bgra.end(), row, row + std::size_t{frame.width} * 4);
    }
    PersonMask mask;
    GrayImage stretched;
    if (!single->segment(frame, mask, error) ||
        !renderMatte(mask, frame.width, frame.height, stretched)) {
      std::fprintf(stderr, "matte_preview: segmentation failed: %s\n", error.c_str());
      return 1;
    }
    const std::string path = joinPath(argv[2], matteFileName(index));
    const Image written = loadPng(path);
    if (written.width != frame.width || written.height != frame.height) {
      std::fprintf(stderr, "matte_preview: no matte of the frame's size at %s\n", path.c_str());
      return 1;
    }
    std::vector<std::uint8_t> accurate(std::size_t{frame.width} * frame.height);
    for (std::size_t i = 0; i < accurate.size(); ++i) accurate[i] = written.bgra[4 * i];
    const std::uint32_t factor = std::max(1u, (frame.width + 479) / 480);
    rows.push_back({panel(picture, nullptr, Panel::kFrame, factor),
                    panel(picture, stretched.pixels.data(), Panel::kMatte, factor),
                    panel(picture, accurate.data(), Panel::kMatte, factor),
                    panel(picture, accurate.data(), Panel::kCutOut, factor)});
  }
  if (rows.empty() || !wanted.empty()) {
    std::fprintf(stderr, "matte_preview: the video has fewer frames than asked for\n");
    return 1;
  }
  if (!writePng(argv[3], sheet(rows))) {
    std::fprintf(stderr, "matte_preview: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
