#include "segmentation_engine.h"

#include <utility>

#include "mask_network.h"
#include "preprocess.h"

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
  std::shared_ptr<ThreadPool> pool = ThreadPool::create(threads, error);
  if (!pool) return nullptr;
  std::unique_ptr<XnnNetwork> network = makeMaskNetwork(model, {}, std::move(pool), error);
  if (!network) return nullptr;
  return std::make_unique<XnnSegmentationEngine>(std::move(network));
}

}  // namespace trelvo::matte
