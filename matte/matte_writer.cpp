#include "matte_writer.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <vector>

namespace trelvo::matte {

namespace {

// Where one output coordinate samples the mask: two neighbours and the weight of the second, in
// 1/256 steps.
struct Tap {
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  std::uint32_t weight = 0;
};

std::vector<Tap> taps(std::uint32_t source, std::uint32_t target) {
  // The stretch is a pure scale by target / source about the origin; output pixel centres map back
  // to (x + 0.5) / scale - 0.5 in the mask, clamped at its edges.
  const double scale = static_cast<double>(target) / static_cast<double>(source);
  std::vector<Tap> result(target);
  for (std::uint32_t i = 0; i < target; ++i) {
    double position = (static_cast<double>(i) + 0.5) / scale - 0.5;
    position = std::clamp(position, 0.0, static_cast<double>(source - 1));
    const double base = std::floor(position);
    Tap& tap = result[i];
    tap.first = static_cast<std::uint32_t>(base);
    tap.second = std::min(tap.first + 1, source - 1);
    tap.weight = static_cast<std::uint32_t>(std::lround((position - base) * 256.0));
  }
  return result;
}

}  // namespace

std::string matteFileName(std::uint64_t index) {
  char name[32];
  (void)std::snprintf(name, sizeof name, "%06" PRIu64 ".png", index);
  return name;
}

std::string joinPath(const std::string& directory, const std::string& name) {
  std::size_t end = directory.size();
  while (end > 0 && directory[end - 1] == '/') --end;
  return directory.substr(0, end) + "/" + name;
}

bool renderMatte(const PersonMask& mask, std::uint32_t width, std::uint32_t height,
                 GrayImage& out) {
  if (width == 0 || height == 0 || mask.width == 0 || mask.height == 0) return false;
  if (mask.pixels.size() != static_cast<std::uint64_t>(mask.width) * mask.height) return false;
  if (width > kMaxFrameSide || height > kMaxFrameSide) return false;

  out.width = width;
  out.height = height;
  // A mask at the frame's own size (the accurate segmentation's) stretches to itself.
  if (mask.width == width && mask.height == height) {
    out.pixels = mask.pixels;
    return true;
  }

  const std::vector<Tap> columns = taps(mask.width, width);
  const std::vector<Tap> rows = taps(mask.height, height);

  // Horizontal pass over every mask row, then each output row blends two of them.
  std::vector<std::uint16_t> stretched(static_cast<std::size_t>(mask.height) * width);
  for (std::uint32_t y = 0; y < mask.height; ++y) {
    const std::uint8_t* in = mask.pixels.data() + static_cast<std::size_t>(y) * mask.width;
    std::uint16_t* line = stretched.data() + static_cast<std::size_t>(y) * width;
    for (std::uint32_t x = 0; x < width; ++x) {
      const Tap& tap = columns[x];
      line[x] = static_cast<std::uint16_t>(in[tap.first] * (256 - tap.weight) +
                                           in[tap.second] * tap.weight);
    }
  }

  out.pixels.resize(static_cast<std::size_t>(width) * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    const Tap& tap = rows[y];
    const std::uint16_t* top = stretched.data() + static_cast<std::size_t>(tap.first) * width;
    const std::uint16_t* bottom = stretched.data() + static_cast<std::size_t>(tap.second) * width;
    std::uint8_t* line = out.pixels.data() + static_cast<std::size_t>(y) * width;
    const std::uint32_t upper = 256 - tap.weight;
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint32_t sum = top[x] * upper + bottom[x] * tap.weight;
      line[x] = static_cast<std::uint8_t>((sum + 32768) >> 16);
    }
  }
  return true;
}

ExitStatus makeFrameMatte(MatteContext& context, const BgraFrame& frame,
                          std::optional<std::string>& message) {
  message.reset();
  // A segmentation that answers without a mask must not leave the previous frame's mask behind.
  PersonMask& mask = context.mask;
  mask.width = 0;
  mask.height = 0;
  mask.pixels.clear();

  std::string error;
  if (!context.segmenter.segment(frame, mask, error)) {
    message = (error.empty() ? std::string("person segmentation failed") : error) + "\n";
    return ExitStatus::kSegmentationFailed;
  }
  if (mask.width == 0 || mask.height == 0 || mask.pixels.empty()) {
    return ExitStatus::kSegmentationFailed;
  }
  if (!renderMatte(mask, frame.width, frame.height, context.matte)) {
    return ExitStatus::kRenderFailed;
  }
  return ExitStatus::kOk;
}

ExitStatus writeFrameMatte(MatteContext& context, const BgraFrame& frame, std::uint64_t index) {
  std::optional<std::string> message;
  const ExitStatus status = makeFrameMatte(context, frame, message);
  if (message) (void)std::fputs(message->c_str(), context.err);
  if (status != ExitStatus::kOk) return status;
  const std::string path = joinPath(context.outputDirectory, matteFileName(index));
  if (!context.platform.writePng(path, context.matte)) return ExitStatus::kWriteFailed;
  return ExitStatus::kOk;
}

}  // namespace trelvo::matte
