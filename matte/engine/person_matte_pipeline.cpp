#include "person_matte_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include "mask_network.h"
#include "preprocess.h"

namespace trelvo::matte {

namespace {

// The guided filter's window radius as a share of the frame's shorter side, so that its windows
// cover the same part of the scene at every frame size; and its regularisation, which for a
// window of the same content needs no scaling (colours are in [0, 1] at every size).
constexpr double kRadiusShare = 1.0 / 96;
constexpr float kEpsilon = 1e-3f;
// On a coarse grid (a close-up's crop) a window of fewer cells than this leaves the upsampled
// coefficients too coarse for the edges: dark seams along them.
constexpr long kMinRadiusCells = 3;
constexpr long kMaxRadiusCells = 16;
// Where the frame is flat across a person's outline the filter only blurs it, over twice its
// window, and where it is busy it lets faint texture into confident areas. Steepening the result
// about one half narrows the blur and clears the faint values; the outline (the 0.5 contour)
// stays where it is.
constexpr float kSteepness = 1.5f;
// Crops fade in over this share of the frame's shorter side, at least two pixels.
constexpr double kFeatherShare = 1.0 / 240;
// The finder's tiles look at every this many frames.
constexpr std::uint32_t kTileInterval = 8;
// A scene cut: the finder's person cells, when they cover at least a fiftieth of its grid, overlap
// the last frame's by less than this share of either; or its probabilities moved by more than this
// on average. (The cells of a small person flicker from frame to frame: they do not count.)
constexpr double kCutOverlap = 0.5;
constexpr double kCutChange = 0.1;
constexpr std::size_t kCutMinShare = 50;
// Inside a crop the finder's probability counts where it is sure: from nothing at kFinderLow to all
// of it at kFinderHigh. The person model, made for whole bodies, loses the shoulders of a
// head-and-shoulders shot that the finder, made for such shots, is sure of.
constexpr float kFinderLow = 0.9f;
constexpr float kFinderHigh = 0.99f;

// Where a frame coordinate samples a grid of `cells` stretched over `length` frame pixels: the two
// neighbouring cells and the weight of the second.
struct GridTap {
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  float weight = 0.0f;
};

GridTap gridTap(double position, std::uint32_t cells, double length) {
  const double g = std::clamp(position * cells / length - 0.5, 0.0, cells - 1.0);
  const auto first = static_cast<std::uint32_t>(g);
  return {first, std::min(first + 1, cells - 1), static_cast<float>(g - first)};
}

// Raises `probability` (the person model's, over `crop`) to the finder's confident probability
// (`found`, a grid stretched over the whole frame) where that is higher.
void addConfidentFinder(const float* found, std::uint32_t gridWidth, std::uint32_t gridHeight,
                        const FrameRect& frame, const FrameRect& crop, std::uint32_t cropWidth,
                        std::uint32_t cropHeight, float* probability) {
  // A column's taps are the same on every row: found once, for the columns inside the frame.
  std::vector<std::pair<std::uint32_t, GridTap>> columns;
  columns.reserve(cropWidth);
  for (std::uint32_t i = 0; i < cropWidth; ++i) {
    const double x = crop.x + (i + 0.5) * crop.width / cropWidth;
    if (x >= 0 && x < frame.width) columns.emplace_back(i, gridTap(x, gridWidth, frame.width));
  }
  for (std::uint32_t j = 0; j < cropHeight; ++j) {
    const double y = crop.y + (j + 0.5) * crop.height / cropHeight;
    if (y < 0 || y >= frame.height) continue;
    const GridTap v = gridTap(y, gridHeight, frame.height);
    const float* upper = found + std::size_t{v.first} * gridWidth;
    const float* lower = found + std::size_t{v.second} * gridWidth;
    for (const auto& [i, u] : columns) {
      const float top = upper[u.first] + (upper[u.second] - upper[u.first]) * u.weight;
      const float bottom = lower[u.first] + (lower[u.second] - lower[u.first]) * u.weight;
      const float p = top + (bottom - top) * v.weight;
      const float confident = std::clamp((p - kFinderLow) / (kFinderHigh - kFinderLow), 0.0f, 1.0f);
      float& out = probability[std::size_t{j} * cropWidth + i];
      out = std::max(out, confident);
    }
  }
}

class Stopwatch {
 public:
  // Adds the time since the last lap to `total`.
  void lap(double& total) {
    const auto now = std::chrono::steady_clock::now();
    total += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

std::uint32_t radiusCells(double radius, std::uint32_t cells, double length) {
  const long r = std::lround(radius * cells / length);
  return static_cast<std::uint32_t>(std::clamp(r, kMinRadiusCells, kMaxRadiusCells));
}

bool sameGrid(const XnnNetwork& network) {
  return network.inputShape()[1] == network.outputShape()[1] &&
         network.inputShape()[2] == network.outputShape()[2];
}

}  // namespace

std::unique_ptr<PersonMattePipeline> PersonMattePipeline::create(
    std::span<const std::uint8_t> finder, std::span<const std::uint8_t> person, std::size_t threads,
    std::string& error, const PipelineSettings& settings) {
  std::shared_ptr<ThreadPool> pool = ThreadPool::create(threads, error);
  if (!pool) return nullptr;
  std::unique_ptr<XnnNetwork> finderNetwork = makeMaskNetwork(finder, {}, pool, error);
  if (!finderNetwork) {
    error = "finder model: " + error;
    return nullptr;
  }
  std::unique_ptr<XnnNetwork> personNetwork =
      makeMaskNetwork(person, {kPersonModelOutput, true}, pool, error);
  if (!personNetwork) {
    error = "person model: " + error;
    return nullptr;
  }
  // The refinement takes each model's input as the guide of its output.
  if (!sameGrid(*finderNetwork) || !sameGrid(*personNetwork)) {
    error = "a model's mask is not the size of its input";
    return nullptr;
  }
  return std::unique_ptr<PersonMattePipeline>(new PersonMattePipeline(
      std::move(pool), std::move(finderNetwork), std::move(personNetwork), settings));
}

PersonMattePipeline::PersonMattePipeline(std::shared_ptr<ThreadPool> pool,
                                         std::unique_ptr<XnnNetwork> finder,
                                         std::unique_ptr<XnnNetwork> person,
                                         const PipelineSettings& settings)
    : pool_(std::move(pool)),
      finder_(std::move(finder)),
      person_(std::move(person)),
      settings_(settings),
      frameSampler_(finder_->inputShape()[2], finder_->inputShape()[1]),
      cropSampler_(person_->inputShape()[2], person_->inputShape()[1]),
      blend_(settings.temporalRatio) {}

bool PersonMattePipeline::sceneCut(const float* probability) {
  const std::size_t cells = finder_->outputSize();
  if (previousFinder_.size() != cells) {
    previousFinder_.assign(probability, probability + cells);
    return true;
  }
  std::size_t both = 0;
  std::size_t either = 0;
  double change = 0.0;
  for (std::size_t i = 0; i < cells; ++i) {
    const bool now = probability[i] > 0.5f;
    const bool before = previousFinder_[i] > 0.5f;
    both += now && before;
    either += now || before;
    change += std::abs(probability[i] - previousFinder_[i]);
  }
  std::copy(probability, probability + cells, previousFinder_.begin());
  const bool peopleMoved = either * kCutMinShare >= cells &&
                           static_cast<double>(both) < kCutOverlap * static_cast<double>(either);
  return peopleMoved || change > kCutChange * static_cast<double>(cells);
}

void PersonMattePipeline::sample(RectSampler& sampler, const BgraFrame& frame,
                                 const FrameRect& rect, float* out) {
  const double cell = std::min(rect.width / sampler.outWidth(), rect.height / sampler.outHeight());
  const double k = reduced_.factor();
  if (k > 1 && cell >= k) {
    sampler.sample(reduced_.frame(), {rect.x / k, rect.y / k, rect.width / k, rect.height / k}, out,
                   pool_.get());
  } else {
    sampler.sample(frame, rect, out, pool_.get());
  }
}

void PersonMattePipeline::refineInto(const BgraFrame& frame, const float* guide,
                                     const float* probability, std::uint32_t gridWidth,
                                     std::uint32_t gridHeight, const FrameRect& gridRect,
                                     const FrameRect& area, const FrameRect& fade,
                                     std::uint8_t* matte) {
  const double shorter = std::min(frame.width, frame.height);
  if (settings_.refine) {
    const double radius = std::max(1.0, shorter * kRadiusShare);
    filter_.compute(guide, probability, gridWidth, gridHeight,
                    radiusCells(radius, gridWidth, gridRect.width),
                    radiusCells(radius, gridHeight, gridRect.height), kEpsilon, pool_.get());
    filter_.steepen(kSteepness);
  } else {
    filter_.passThrough(probability, gridWidth, gridHeight);
  }
  const CoefficientGrid grid{filter_.coefficients(), gridWidth, gridHeight, gridRect};
  compositor_.compose(frame, grid, area, fade, std::max(2.0, shorter * kFeatherShare), matte,
                      pool_.get());
}

bool PersonMattePipeline::segment(const BgraFrame& frame, PersonMask& mask, std::string& error) {
  if (!checkFrame(frame, error)) return false;
  Stopwatch watch;
  const FrameRect whole{0.0, 0.0, static_cast<double>(frame.width),
                        static_cast<double>(frame.height)};
  const std::uint32_t gridWidth = finder_->outputShape()[2];
  const std::uint32_t gridHeight = finder_->outputShape()[1];
  boxes_.clear();
  // The whole frame first: what it finds decides whether this frame starts afresh, and what
  // follows reads its input and output, kept aside from the tiles'.
  reduced_.reduce(frame, reductionFor(frame.width, frame.height, 2 * frameSampler_.outHeight()),
                  pool_.get());
  auto look = [&](const FrameRect& view) {
    sample(frameSampler_, frame, view, finder_->input());
    watch.lap(times_.frameSample);
    if (!finder_->run(error)) return false;
    watch.lap(times_.finder);
    addRegionBoxes(findPersonRegions(finder_->output(), gridWidth, gridHeight, regionScratch_),
                   gridWidth, gridHeight, view, boxes_);
    watch.lap(times_.regions);
    return true;
  };
  if (!look(whole)) return false;
  wholeInput_.assign(finder_->input(), finder_->input() + finder_->inputSize());
  wholeOutput_.assign(finder_->output(), finder_->output() + finder_->outputSize());
  const float* found = wholeOutput_.data();
  const float* finderInput = wholeInput_.data();

  const bool cut = sceneCut(found);
  const bool fresh = cut || frame.width != lastWidth_ || frame.height != lastHeight_;
  lastWidth_ = frame.width;
  lastHeight_ = frame.height;
  // The tiles find people too small for the whole frame. Once found, people are followed by their
  // own masks, so the tiles need to look only now and then, and whenever a frame starts afresh.
  if (fresh || ++framesSinceTiles_ >= kTileInterval) framesSinceTiles_ = 0;
  if (settings_.tiles && framesSinceTiles_ == 0) {
    const std::vector<FrameRect> views = finderViews(frame.width, frame.height);
    for (std::size_t i = 0; i + 1 < views.size(); ++i) {
      if (!look(views[i])) return false;
    }
  }

  // The people of the last frame, from their own masks: a person the finder sees only in pieces,
  // or not at all for a few frames, stays whole.
  if (fresh) followed_.clear();
  boxes_.insert(boxes_.end(), followed_.begin(), followed_.end());
  followed_.clear();
  people_ = findPeople(boxes_, std::min(frame.width, frame.height));
  if (fresh) tracker_.reset();
  if (settings_.steadyCrops) tracker_.steady(people_.crops);
  watch.lap(times_.regions);

  // Outside every person: background.
  const std::size_t size = std::size_t{frame.width} * frame.height;
  std::vector<std::uint8_t>& matte = matte_;
  matte.assign(size, 0);
  const std::uint32_t cropWidth = person_->outputShape()[2];
  const std::uint32_t cropHeight = person_->outputShape()[1];
  for (const PersonCrop& crop : people_.crops) {
    const FrameRect rect = crop.rect();
    sample(cropSampler_, frame, rect, person_->input());
    watch.lap(times_.cropSample);
    if (!person_->run(error)) return false;
    watch.lap(times_.person);
    PersonBox followed;
    if (settings_.follow && crop.box.unconfirmed < kMaxUnconfirmed &&
        maskBox(person_->output(), cropWidth, cropHeight, rect, followed)) {
      followed.unconfirmed = crop.box.unconfirmed + 1;
      followed_.push_back(followed);
    }
    cropProbability_.assign(person_->output(), person_->output() + person_->outputSize());
    if (settings_.finderInCrops) {
      addConfidentFinder(found, gridWidth, gridHeight, whole, rect, cropWidth, cropHeight,
                         cropProbability_.data());
    }
    refineInto(frame, person_->input(), cropProbability_.data(), cropWidth, cropHeight, rect, rect,
               rect, matte.data());
    watch.lap(times_.refine);
    ++times_.crops;
  }
  // People beyond the crops keep the whole-frame result, around their boxes.
  for (const PersonBox& box : people_.others) {
    const double room = (kCropMargin - 1.0) / 2 * std::max(box.x1 - box.x0, box.y1 - box.y0);
    const FrameRect area{box.x0 - room, box.y0 - room, box.x1 - box.x0 + 2 * room,
                         box.y1 - box.y0 + 2 * room};
    refineInto(frame, finderInput, found, gridWidth, gridHeight, whole, area, area, matte.data());
  }
  watch.lap(times_.refine);

  blend_.apply(matte.data(), size, fresh, pool_.get());
  watch.lap(times_.blend);
  ++times_.frames;

  mask.width = frame.width;
  mask.height = frame.height;
  // The caller's buffer becomes the next frame's, so the matte is not allocated again once sizes
  // settle.
  std::swap(mask.pixels, matte);
  return true;
}

}  // namespace trelvo::matte
