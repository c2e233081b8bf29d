// Reads a TFLite flatbuffer into the engine's graph description. Every offset, length, index and
// shape is checked before use; constant fp16 weights behind DEQUANTIZE become fp32 constants.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model_graph.h"

namespace trelvo::matte {

// Returns false with `error` set when the model is malformed, too large or uses what the engine
// does not support; `graph` is then left as it was. On success the graph has passed validateGraph.
// With an empty `outputName` the model must have exactly one output; otherwise the graph computes
// the output whose tensor has that name, and holds only the operators it depends on.
bool readTfliteModel(std::span<const std::uint8_t> model, Graph& graph, std::string& error,
                     std::string_view outputName = {});

// IEEE half precision to single precision, every value including subnormals, infinities and NaN.
float halfToFloat(std::uint16_t half);

}  // namespace trelvo::matte
