#include "engine_segmenter.h"

#include "person_matte_pipeline.h"

namespace trelvo::matte {

namespace {

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
  std::unique_ptr<SegmentationEngine> engine =
      PersonMattePipeline::create(embeddedModel(), embeddedPersonModel(), kEngineThreads, error);
  if (!engine) return nullptr;
  return std::make_unique<EngineSegmenter>(std::move(engine));
}

}  // namespace trelvo::matte
