#include "segmentation_engine.h"

#include <utility>

#include "model_graph.h"
#include "preprocess.h"
#include "tflite_reader.h"
#include "xnn_network.h"

namespace trelvo::matte {

namespace {

class XnnSegmentationEngine final : public SegmentationEngine {
 public:
  explicit XnnSegmentationEngine(std::unique_ptr<XnnNetwork> network)
      : network_(std::move(network)),
        sampler_(network_->inputShape()[2], network_->inputShape()[1]) {}

  bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) override {
    if (!checkFrame(frame, error)) return false;
    sampler_.sample(frame, network_->input());
    if (!network_->run(error)) return false;
    const std::vector<std::uint32_t>& shape = network_->outputShape();
    PersonMask result;
    result.height = shape[1];
    result.width = shape[2];
    result.pixels.resize(network_->outputSize());
    const float* probabilities = network_->output();
    for (std::size_t i = 0; i < result.pixels.size(); ++i) {
      result.pixels[i] = maskValue(probabilities[i]);
    }
    mask = std::move(result);
    return true;
  }

 private:
  std::unique_ptr<XnnNetwork> network_;
  FrameSampler sampler_;
};

}  // namespace

std::unique_ptr<SegmentationEngine> SegmentationEngine::create(std::span<const std::uint8_t> model,
                                                               std::size_t threads,
                                                               std::string& error) {
  Graph graph;
  if (!readTfliteModel(model, graph, error)) return nullptr;
  // The engine feeds one RGB image and reads one single-channel mask.
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
  std::unique_ptr<XnnNetwork> network = XnnNetwork::create(graph, threads, error);
  if (!network) return nullptr;
  return std::make_unique<XnnSegmentationEngine>(std::move(network));
}

}  // namespace trelvo::matte
