#include "mask_network.h"

#include "model_graph.h"
#include "tflite_reader.h"

namespace trelvo::matte {

std::unique_ptr<XnnNetwork> makeMaskNetwork(std::span<const std::uint8_t> model,
                                            const MaskOutput& output,
                                            std::shared_ptr<ThreadPool> pool, std::string& error) {
  Graph graph;
  if (!readTfliteModel(model, graph, error, output.name)) return nullptr;
  const std::vector<std::uint32_t>& in = graph.tensors[static_cast<std::size_t>(graph.input)].shape;
  const std::vector<std::uint32_t>& out =
      graph.tensors[static_cast<std::size_t>(graph.output)].shape;
  if (in.size() != 4 || in[0] != 1 || in[3] != 3) {
    error = "the model input is not one RGB image";
    return nullptr;
  }
  if (out.size() != 4 || out[0] != 1 || out[3] != 1) {
    error = "the model output is not one single-channel mask";
    return nullptr;
  }
  if (output.logits) appendLogistic(graph);
  return XnnNetwork::create(graph, std::move(pool), error);
}

}  // namespace trelvo::matte
