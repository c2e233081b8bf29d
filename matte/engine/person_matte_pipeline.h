// The accurate person matte: people found on the whole frame, each segmented on a crop of its own
// by a person model, edges refined against the frame, held steady from frame to frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "guided_filter.h"
#include "matte_compositor.h"
#include "person_regions.h"
#include "rect_sampler.h"
#include "reduced_frame.h"
#include "segmentation_engine.h"
#include "temporal_blend.h"
#include "thread_pool.h"
#include "xnn_network.h"

namespace trelvo::matte {

// Seconds spent in each stage, summed over every frame segmented so far.
struct StageTimes {
  double frameSample = 0.0;  // the whole frame reduced to the finder's input
  double finder = 0.0;       // the finder model
  double regions = 0.0;      // regions, crops, scene cut
  double cropSample = 0.0;   // crops resampled to the person model's input
  double person = 0.0;       // the person model, every crop
  double refine = 0.0;       // guided filter and composition at the frame's size
  double blend = 0.0;        // temporal blend
  std::uint64_t frames = 0;
  std::uint64_t crops = 0;
};

// How the matte is made; the defaults are what the program uses.
struct PipelineSettings {
  bool refine = true;                    // guided filter against the frame
  float temporalRatio = kTemporalRatio;  // 0: no temporal blend
  bool steadyCrops = true;               // crops held steady over time
  bool tiles = true;                     // the finder also looks at square tiles of wide frames,
                                         // on a fresh frame and every few frames
  bool finderInCrops = true;             // the finder's confident cells count inside a crop too
  bool follow = true;                    // people found are followed by their own masks
};

class PersonMattePipeline final : public SegmentationEngine {
 public:
  // `finder` maps a whole frame to person probabilities; `person` is the pose landmark model whose
  // segmentation output (kPersonModelOutput, logits) segments one person on a crop. Both must
  // outlive the pipeline. Null with `error` set when either cannot be used.
  static std::unique_ptr<PersonMattePipeline> create(std::span<const std::uint8_t> finder,
                                                     std::span<const std::uint8_t> person,
                                                     std::size_t threads, std::string& error,
                                                     const PipelineSettings& settings = {});

  // The matte of one frame, at the frame's own size. Frames are taken as consecutive frames of one
  // video: the matte holds on to the previous one where it is unsure, except after a scene cut or
  // a change of frame size.
  bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) override;

  // The people found in the last frame segmented.
  const People& people() const { return people_; }
  const StageTimes& stageTimes() const { return times_; }

 private:
  PersonMattePipeline(std::shared_ptr<ThreadPool> pool, std::unique_ptr<XnnNetwork> finder,
                      std::unique_ptr<XnnNetwork> person, const PipelineSettings& settings);
  bool sceneCut(const float* probability);
  // Samples `rect` of the frame to `sampler`'s size into `out`, from the reduced frame when the
  // output's pixels are at least as large as its blocks.
  void sample(RectSampler& sampler, const BgraFrame& frame, const FrameRect& rect, float* out);
  void refineInto(const BgraFrame& frame, const float* guide, const float* probability,
                  std::uint32_t gridWidth, std::uint32_t gridHeight, const FrameRect& gridRect,
                  const FrameRect& area, const FrameRect& fade, std::uint8_t* matte);

  std::shared_ptr<ThreadPool> pool_;
  std::unique_ptr<XnnNetwork> finder_;
  std::unique_ptr<XnnNetwork> person_;
  PipelineSettings settings_;
  ReducedFrame reduced_;
  RectSampler frameSampler_;
  RectSampler cropSampler_;
  GuidedFilter filter_;
  MatteCompositor compositor_;
  CropTracker tracker_;
  TemporalBlend blend_;
  People people_;
  std::vector<std::int32_t> regionScratch_;
  std::vector<float> previousFinder_;  // the finder's output of the last frame
  std::vector<float> wholeInput_;      // the finder's input and output for the whole frame
  std::vector<float> wholeOutput_;
  std::uint32_t framesSinceTiles_ = 0;
  std::vector<PersonBox> boxes_;
  std::vector<PersonBox> followed_;  // the people of the last frame, from their own masks
  std::vector<float> cropProbability_;
  std::vector<std::uint8_t> matte_;
  std::uint32_t lastWidth_ = 0;
  std::uint32_t lastHeight_ = 0;
  StageTimes times_;
};

}  // namespace trelvo::matte
