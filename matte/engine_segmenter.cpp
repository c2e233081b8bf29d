#include "engine_segmenter.h"

#include "person_matte_pipeline.h"

namespace trelvo::matte {

namespace {

constexpr std::size_t kEngineThreads = 1;

class EngineSegmenter final : public Segmenter {
 public:
  explicit EngineSegmenter(std::unique_ptr<SegmentationEngine> engine)
      : engine_(std::move(engine)) {}

  bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) override {
    return engine_->segment(frame, mask, error);
  }

 private:
  std::unique_ptr<SegmentationEngine> engine_;
};

}  // namespace

std::unique_ptr<Segmenter> makeEngineSegmenter(std::string& error) {
  // One thread: the networks are small (256x256) and their operators short, so a thread pool's
  // workers spend most of their time spin-waiting between operators, taking the cores the video
  // decoder and the PNG encoder need; measured several times slower than one thread on two cores.
  std::unique_ptr<SegmentationEngine> engine =
      PersonMattePipeline::create(embeddedModel(), embeddedPersonModel(), kEngineThreads, error);
  if (!engine) return nullptr;
  return std::make_unique<EngineSegmenter>(std::move(engine));
}

}  // namespace trelvo::matte
