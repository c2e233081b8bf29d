// Arbitrary bytes through the model reader and the graph checks: they must refuse or accept,
// never read out of bounds. Small accepted graphs are also built and run on XNNPACK, so a graph
// the checks let through never trips the runtime.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tflite_reader.h"
#include "xnn_network.h"

namespace {

// Large graphs (the real models and their mutations) would make each run slow.
constexpr std::size_t kMaxElementsToRun = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace trelvo::matte;
  Graph graph;
  std::string error;
  if (!readTfliteModel(std::span<const std::uint8_t>(data, size), graph, error)) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  // An accepted graph passed its checks, so the invariants the builder relies on hold.
  if (!validateGraph(graph, error)) __builtin_trap();
  std::size_t elements = 0;
  for (const GraphTensor& t : graph.tensors) elements += elementCount(t.shape);
  if (elements > kMaxElementsToRun) return 0;
  auto network = XnnNetwork::create(graph, 1, error);
  if (network) {
    for (std::size_t i = 0; i < network->inputSize(); ++i) network->input()[i] = 0.5f;
    (void)network->run(error);
  }
  return 0;
}
