// Person segmentation on the CPU: a TFLite segmentation model run through one XNNPACK runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace trelvo::matte {

// The largest frame side anywhere in the program. The video reader refuses a larger frame with
// its reason; the engine, the matte stretch and the PNG encoder still refuse one from any caller.
inline constexpr std::uint32_t kMaxFrameSide = 16384;

// One decoded frame: BGRA, 8 bits a channel, `stride` bytes from one row to the next.
struct BgraFrame {
  const std::uint8_t* pixels = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t stride = 0;
};

// An 8-bit person mask: 255 person, 0 background, rows packed. The single pass gives it at the
// model's output size, the accurate pipeline at the frame's.
struct PersonMask {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;
};

class SegmentationEngine {
 public:
  // Validates `model` and builds the runtime once; `model` must outlive the engine. Returns null
  // with `error` set when the model is malformed or uses what the engine does not support.
  // `threads` 0 means one per core.
  static std::unique_ptr<SegmentationEngine> create(std::span<const std::uint8_t> model,
                                                    std::size_t threads, std::string& error);
  virtual ~SegmentationEngine() = default;

  // Segments one frame of any size up to kMaxFrameSide a side. On failure returns false with
  // `error` set and leaves `mask` as it was.
  virtual bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) = 0;
};

// The models built into the program: the whole-frame model that finds the people, and the pose
// landmark model whose segmentation output segments each person on a crop.
std::span<const std::uint8_t> embeddedModel();
std::span<const std::uint8_t> embeddedPersonModel();

// The person model's output that holds its segmentation, as logits.
inline constexpr char kPersonModelOutput[] = "Identity_2";

}  // namespace trelvo::matte
