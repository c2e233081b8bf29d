// A segmentation model as a network that maps one RGB image to one person probability map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "xnn_network.h"

namespace trelvo::matte {

// Which output of a model holds the person mask, and whether it holds logits rather than
// probabilities.
struct MaskOutput {
  std::string_view name;  // empty: the model's only output
  bool logits = false;
};

// Reads, checks and builds the network; null with `error` set when the model is malformed, uses
// what the engine does not support, or does not map one RGB image to one single-channel mask.
std::unique_ptr<XnnNetwork> makeMaskNetwork(std::span<const std::uint8_t> model,
                                            const MaskOutput& output,
                                            std::shared_ptr<ThreadPool> pool, std::string& error);

}  // namespace trelvo::matte
