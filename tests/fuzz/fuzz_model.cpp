// Arbitrary bytes through the model reader and the graph checks: they must refuse or accept,
// never read out of bounds. Small accepted graphs are also built and run on XNNPACK, so a graph
// the checks let through never trips the runtime.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "segmentation_engine.h"
#include "tflite_reader.h"
#include "xnn_network.h"

namespace {

// Large graphs (the real models and their mutations) would make each run slow.
constexpr std::size_t kMaxElementsToRun = 1 << 16;

// Reads the model for its only output, or, as the person model is read, for the output of that
// name; checks and runs what is accepted.
void readAndRun(std::span<const std::uint8_t> model, std::string_view output) {
  using namespace trelvo::matte;
  Graph graph;
  std::string error;
  if (!readTfliteModel(model, graph, error, output)) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return;
  }
  // An accepted graph passed its checks, so the invariants the builder relies on hold.
  if (!validateGraph(graph, error)) __builtin_trap();
  std::size_t elements = 0;
  for (const GraphTensor& t : graph.tensors) elements += elementCount(t.shape);
  if (elements > kMaxElementsToRun) return;
  auto network = XnnNetwork::create(graph, 1, error);
  if (network) {
    for (std::size_t i = 0; i < network->inputSize(); ++i) network->input()[i] = 0.5f;
    (void)network->run(error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> model(data, size);
  readAndRun(model, {});
  readAndRun(model, trelvo::matte::kPersonModelOutput);
  return 0;
}
