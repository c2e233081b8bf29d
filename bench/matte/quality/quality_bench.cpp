// Matte quality, today's single pass against the accurate pipeline (and its parts), side by side
// on scenes made from the astronaut photograph: people far from the camera, a close-up pan and
// zoom, a far person walking. Prints region levels, frame-to-frame stability under known motion,
// edge alignment and the time per 1080p frame by stage; writes the pictures when given a folder.
//
//   matte_quality_bench [--quick] [PICTURE_DIR]
//
// --quick leaves out the pipeline's partial stages: only the single pass and the accurate one.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "matte_writer.h"
#include "person_matte_pipeline.h"
#include "pictures.h"
#include "scenes.h"

namespace {

using namespace trelvo::matte;
using namespace trelvo::matte::testing;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;

// One way of making mattes: today's single pass, or the pipeline with some of its stages.
struct Method {
  const char* name;
  bool singlePass;
  PipelineSettings settings;
};

const Method kMethods[] = {
    {"single pass (whole frame)", true, {}},
    {"crops", false, {false, 0.0f, false, false, false, false}},
    {"+ tiles", false, {false, 0.0f, false, true, false, false}},
    {"+ finder in crops", false, {false, 0.0f, false, true, true, false}},
    {"+ refinement", false, {true, 0.0f, false, true, true, false}},
    {"+ steady crops", false, {true, 0.0f, true, true, true, false}},
    {"+ following", false, {true, 0.0f, true, true, true, true}},
    {"accurate (+ blend)", false, {}},
};

// Makes mattes with one method; a new one starts a new video.
class Matter {
 public:
  explicit Matter(const Method& method) : method_(method) {
    std::string error;
    if (method.singlePass) {
      single_ = SegmentationEngine::create(embeddedModel(), 1, error);
    } else {
      pipeline_ = PersonMattePipeline::create(embeddedModel(), embeddedPersonModel(), 1, error,
                                              method.settings);
    }
    if (!single_ && !pipeline_) std::fprintf(stderr, "cannot make the engine: %s\n", error.c_str());
  }
  bool ok() const { return single_ || pipeline_; }

  std::vector<std::uint8_t> matte(const Image& frame) {
    const auto start = std::chrono::steady_clock::now();
    PersonMask mask;
    std::string error;
    GrayImage gray;
    if (single_) {
      if (!single_->segment(frame.frame(), mask, error) ||
          !renderMatte(mask, frame.width, frame.height, gray)) {
        std::fprintf(stderr, "segmentation failed: %s\n", error.c_str());
      }
    } else {
      if (!pipeline_->segment(frame.frame(), mask, error)) {
        std::fprintf(stderr, "segmentation failed: %s\n", error.c_str());
      }
      gray.pixels = std::move(mask.pixels);
    }
    seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++frames_;
    return std::move(gray.pixels);
  }

  double millisecondsPerFrame() const { return frames_ == 0 ? 0.0 : 1e3 * seconds_ / frames_; }
  const PersonMattePipeline* pipeline() const { return pipeline_.get(); }

 private:
  Method method_;
  std::unique_ptr<SegmentationEngine> single_;
  std::unique_ptr<PersonMattePipeline> pipeline_;
  double seconds_ = 0.0;
  int frames_ = 0;
};

// ---- Scenes ----

struct Scene {
  const char* name;
  std::vector<Placement> people;
};

// The photograph at a quarter of the frame's height, at two places, and two side by side.
const double kFarScale = 270.0 / 512.0;
const Scene kFarScenes[] = {
    {"far, left", {{200, 690, kFarScale}}},
    {"far, right", {{1440, 330, kFarScale}}},
    {"far, two side by side", {{690, 500, kFarScale}, {960, 500, kFarScale}}},
};

Image render(const Scene& scene) {
  Image frame = backdrop(kWidth, kHeight);
  for (const Placement& at : scene.people) paste(frame, astronaut(), at);
  return frame;
}

// The close-up: the photograph filling a 16:9 frame, a window of it panning and zooming; frame t
// shows the photograph at `scale` with its corner at (x, y). Every pixel moves by known motion.
Placement closeUp(int t) {
  const double zoom = 1.0 + 0.0025 * t;
  const double scale = kWidth / 512.0 * zoom;
  const double centreU = 256.0 + 0.7 * t;  // photograph point at the frame's centre
  const double centreV = 150.0 + 0.4 * t;
  return {kWidth / 2.0 - centreU * scale, kHeight / 2.0 - centreV * scale, scale};
}

// A far person walking to the right over a still backdrop.
Placement walker(int t) { return {300.0 + 5.0 * t, 600.0 + 0.5 * t, kFarScale}; }

// ---- Measures ----

// Frame-to-frame change under known motion: the mean |difference| between each matte and the
// previous matte carried along by the motion. Pixels on the photograph move with it; the rest of
// the frame (the backdrop) stands still.
double motionChange(const std::vector<std::uint8_t>& now, const Placement& at,
                    const std::vector<std::uint8_t>& before, const Placement& was,
                    std::uint32_t photoSide = 512) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      const double u = (x + 0.5 - at.x) / at.scale;
      const double v = (y + 0.5 - at.y) / at.scale;
      double px = x, py = y;
      if (u >= 0 && v >= 0 && u < photoSide && v < photoSide) {
        px = was.x + u * was.scale - 0.5;
        py = was.y + v * was.scale - 0.5;
      }
      if (px < 0 || py < 0 || px > kWidth - 1 || py > kHeight - 1) continue;
      const auto x0 = static_cast<std::uint32_t>(px);
      const auto y0 = static_cast<std::uint32_t>(py);
      const std::uint32_t x1 = std::min(x0 + 1, kWidth - 1);
      const std::uint32_t y1 = std::min(y0 + 1, kHeight - 1);
      const double fx = px - x0, fy = py - y0;
      auto m = [&](std::uint32_t xx, std::uint32_t yy) {
        return static_cast<double>(before[std::size_t{yy} * kWidth + xx]);
      };
      const double carried = (m(x0, y0) * (1 - fx) + m(x1, y0) * fx) * (1 - fy) +
                             (m(x0, y1) * (1 - fx) + m(x1, y1) * fx) * fy;
      sum += std::abs(now[std::size_t{y} * kWidth + x] - carried);
      ++count;
    }
  }
  return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

// Squared distance transform along one line (Felzenszwalb and Huttenlocher).
void distanceLine(const std::vector<double>& f, std::vector<double>& d, std::size_t n) {
  std::vector<std::size_t> v(n);
  std::vector<double> z(n + 1);
  std::size_t k = 0;
  v[0] = 0;
  z[0] = -std::numeric_limits<double>::infinity();
  z[1] = std::numeric_limits<double>::infinity();
  for (std::size_t q = 1; q < n; ++q) {
    double s = 0;
    for (;;) {
      const double p = static_cast<double>(v[k]);
      const double qd = static_cast<double>(q);
      s = ((f[q] + qd * qd) - (f[v[k]] + p * p)) / (2.0 * qd - 2.0 * p);
      if (s > z[k] || k == 0) break;
      --k;
    }
    if (s <= z[k]) {
      v[0] = q;
      z[0] = -std::numeric_limits<double>::infinity();
      z[1] = std::numeric_limits<double>::infinity();
      k = 0;
      continue;
    }
    ++k;
    v[k] = q;
    z[k] = s;
    z[k + 1] = std::numeric_limits<double>::infinity();
  }
  k = 0;
  for (std::size_t q = 0; q < n; ++q) {
    while (z[k + 1] < static_cast<double>(q)) ++k;
    const double dq = static_cast<double>(q) - static_cast<double>(v[k]);
    d[q] = dq * dq + f[v[k]];
  }
}

// Distance from every pixel to the nearest strong edge of the frame (Sobel magnitude of the luma
// of at least kStrongEdge).
constexpr double kStrongEdge = 48.0;
std::vector<double> edgeDistance(const Image& frame) {
  const std::uint32_t w = frame.width, h = frame.height;
  std::vector<double> luma(std::size_t{w} * h);
  for (std::size_t i = 0; i < luma.size(); ++i) {
    const std::uint8_t* p = frame.bgra.data() + 4 * i;  // BGRA
    luma[i] = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
  }
  const double far = 1e12;
  std::vector<double> grid(luma.size(), far);
  for (std::uint32_t y = 1; y + 1 < h; ++y) {
    for (std::uint32_t x = 1; x + 1 < w; ++x) {
      auto l = [&](std::uint32_t xx, std::uint32_t yy) { return luma[std::size_t{yy} * w + xx]; };
      const double gx = l(x + 1, y - 1) + 2 * l(x + 1, y) + l(x + 1, y + 1) - l(x - 1, y - 1) -
                        2 * l(x - 1, y) - l(x - 1, y + 1);
      const double gy = l(x - 1, y + 1) + 2 * l(x, y + 1) + l(x + 1, y + 1) - l(x - 1, y - 1) -
                        2 * l(x, y - 1) - l(x + 1, y - 1);
      if (std::hypot(gx, gy) >= kStrongEdge) grid[std::size_t{y} * w + x] = 0.0;
    }
  }
  std::vector<double> f(std::max(w, h)), d(std::max(w, h));
  for (std::uint32_t x = 0; x < w; ++x) {
    for (std::uint32_t y = 0; y < h; ++y) f[y] = grid[std::size_t{y} * w + x];
    distanceLine(f, d, h);
    for (std::uint32_t y = 0; y < h; ++y) grid[std::size_t{y} * w + x] = d[y];
  }
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) f[x] = grid[std::size_t{y} * w + x];
    distanceLine(f, d, w);
    for (std::uint32_t x = 0; x < w; ++x) grid[std::size_t{y} * w + x] = std::sqrt(d[x]);
  }
  return grid;
}

// The mean distance from the matte's 0.5 contour (person pixels next to a background pixel) to
// the nearest strong edge, each pixel's distance capped at 20.
double contourDistance(const std::vector<std::uint8_t>& matte, const std::vector<double>& edges) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::uint32_t y = 1; y + 1 < kHeight; ++y) {
    for (std::uint32_t x = 1; x + 1 < kWidth; ++x) {
      const std::size_t i = std::size_t{y} * kWidth + x;
      if (matte[i] < 128) continue;
      if (matte[i - 1] >= 128 && matte[i + 1] >= 128 && matte[i - kWidth] >= 128 &&
          matte[i + kWidth] >= 128) {
        continue;
      }
      sum += std::min(edges[i], 20.0);
      ++count;
    }
  }
  return count == 0 ? -1.0 : sum / static_cast<double>(count);
}

struct Levels {
  double personMin = 255, personMean = 0, backgroundMax = 0, backgroundMean = 0;
  double backdrop = 0;  // mean over the frame away from every photograph
  bool pass = true;     // every person region >= 200, every background region <= 40
};

Levels levels(const std::vector<std::uint8_t>& matte, const Scene& scene) {
  Levels l;
  int people = 0, backgrounds = 0;
  for (const Placement& at : scene.people) {
    for (const Region& r : astronautRegions()) {
      const double mean = regionMean(matte.data(), kWidth, kHeight, r, at);
      if (mean < 0) continue;  // outside the frame
      if (r.person) {
        l.personMin = std::min(l.personMin, mean);
        l.personMean += mean;
        ++people;
        l.pass = l.pass && mean >= 200;
      } else {
        l.backgroundMax = std::max(l.backgroundMax, mean);
        l.backgroundMean += mean;
        ++backgrounds;
        l.pass = l.pass && mean <= 40;
      }
    }
  }
  l.personMean /= std::max(people, 1);
  l.backgroundMean /= std::max(backgrounds, 1);
  // The backdrop: pixels at least 40 pixels away from every photograph.
  double sum = 0;
  std::size_t count = 0;
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      bool near = false;
      for (const Placement& at : scene.people) {
        const double side = 512 * at.scale;
        near = near ||
               (x + 40 > at.x && x < at.x + side + 40 && y + 40 > at.y && y < at.y + side + 40);
      }
      if (near) continue;
      sum += matte[std::size_t{y} * kWidth + x];
      ++count;
    }
  }
  l.backdrop = count == 0 ? 0 : sum / static_cast<double>(count);
  return l;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string pictures;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--quick") {
      quick = true;
    } else {
      pictures = argument;
    }
  }
  const std::size_t methods = std::size(kMethods);
  auto wanted = [&](const Method& method) {
    return !quick || &method == &kMethods[0] || &method == &kMethods[methods - 1];
  };
  if (astronaut().width != 512) {
    std::fprintf(stderr, "cannot read the astronaut photograph\n");
    return 1;
  }
  std::printf("%d x %d frames; methods:", kWidth, kHeight);
  for (const Method& m : kMethods) {
    if (wanted(m)) std::printf(" [%s]", m.name);
  }
  std::printf("\n\n");

  // People far from the camera: labelled regions of the photograph, and the backdrop.
  std::printf("People far from the camera (labelled regions: person >= 200, background <= 40)\n");
  std::printf("%-24s %-28s %9s %9s %9s %9s %9s %6s\n", "scene", "method", "person", "min",
              "backgr.", "max", "backdrop", "pass");
  std::vector<std::vector<Image>> rows;
  std::vector<Image> singlePanels, accuratePanels;
  for (const Scene& scene : kFarScenes) {
    const Image frame = render(scene);
    std::vector<Image> row{panel(frame, nullptr, Panel::kFrame, 4)};
    for (const Method& method : kMethods) {
      if (!wanted(method)) continue;
      Matter matter(method);
      if (!matter.ok()) return 1;
      const std::vector<std::uint8_t> matte = matter.matte(frame);
      const Levels l = levels(matte, scene);
      std::printf("%-24s %-28s %9.1f %9.1f %9.1f %9.1f %9.1f %6s\n", scene.name, method.name,
                  l.personMean, l.personMin, l.backgroundMean, l.backgroundMax, l.backdrop,
                  l.pass ? "yes" : "NO");
      if (&method == &kMethods[0]) row.push_back(panel(frame, matte.data(), Panel::kMatte, 4));
      if (&method == &kMethods[methods - 1]) {
        row.push_back(panel(frame, matte.data(), Panel::kMatte, 4));
        row.push_back(panel(frame, matte.data(), Panel::kCutOut, 4));
      }
    }
    rows.push_back(std::move(row));
  }

  // Stability under known motion, edge alignment, and time.
  struct Clip {
    const char* name;
    std::function<Placement(int)> at;
    bool fill;  // the photograph fills the frame (no backdrop)
  };
  const Clip clips[] = {{"close-up, pan and zoom", closeUp, true},
                        {"far person walking", walker, false}};
  constexpr int kClipFrames = 40;
  std::printf(
      "\nFrame-to-frame change under known motion (mean |matte - previous matte carried "
      "along|, grey levels), contour distance to the nearest strong edge (pixels, first "
      "frame), time per frame\n");
  std::printf("%-24s %-28s %8s %8s %8s %8s %8s %6s %9s\n", "clip", "method", "change", "max",
              "contour", "person", "backgr.", "pass", "ms/frame");
  std::vector<StageTimes> stages;
  for (const Clip& clip : clips) {
    std::vector<Image> frames;
    for (int t = 0; t < kClipFrames; ++t) {
      Image frame = clip.fill
                        ? Image{kWidth, kHeight,
                                std::vector<std::uint8_t>(std::size_t{kWidth} * kHeight * 4, 255)}
                        : backdrop(kWidth, kHeight);
      paste(frame, astronaut(), clip.at(t));
      frames.push_back(std::move(frame));
    }
    const std::vector<double> edges = edgeDistance(frames[0]);
    std::vector<Image> row{panel(frames[kClipFrames / 2], nullptr, Panel::kFrame, 4)};
    for (const Method& method : kMethods) {
      if (!wanted(method)) continue;
      Matter matter(method);
      std::vector<std::uint8_t> previous;
      double total = 0.0, worst = 0.0, contour = 0.0;
      Levels first;
      for (int t = 0; t < kClipFrames; ++t) {
        std::vector<std::uint8_t> matte = matter.matte(frames[static_cast<std::size_t>(t)]);
        if (t == 0) {
          contour = contourDistance(matte, edges);
          first = levels(matte, Scene{clip.name, {clip.at(0)}});
        }
        if (t > 0) {
          const double change = motionChange(matte, clip.at(t), previous, clip.at(t - 1));
          total += change;
          worst = std::max(worst, change);
        }
        if (t == kClipFrames / 2) {
          if (&method == &kMethods[0])
            row.push_back(panel(frames[t], matte.data(), Panel::kMatte, 4));
          if (&method == &kMethods[methods - 1]) {
            row.push_back(panel(frames[t], matte.data(), Panel::kMatte, 4));
            row.push_back(panel(frames[t], matte.data(), Panel::kCutOut, 4));
          }
        }
        previous = std::move(matte);
      }
      std::printf("%-24s %-28s %8.2f %8.2f %8.2f %8.1f %8.1f %6s %9.1f\n", clip.name, method.name,
                  total / (kClipFrames - 1), worst, contour, first.personMin, first.backgroundMax,
                  first.pass ? "yes" : "NO", matter.millisecondsPerFrame());
      if (matter.pipeline() != nullptr && &method == &kMethods[methods - 1]) {
        stages.push_back(matter.pipeline()->stageTimes());
      }
    }
    rows.push_back(std::move(row));
  }

  std::printf("\nAccurate pipeline, time per 1080p frame by stage (ms)\n");
  std::printf("%-24s %8s %8s %8s %8s %8s %8s %8s %8s %7s\n", "clip", "sample", "finder", "regions",
              "crop", "person", "refine", "blend", "total", "crops");
  for (std::size_t i = 0; i < stages.size(); ++i) {
    const StageTimes& s = stages[i];
    const double n = static_cast<double>(s.frames) / 1e3;
    const double total =
        s.frameSample + s.finder + s.regions + s.cropSample + s.person + s.refine + s.blend;
    std::printf("%-24s %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f %7.2f\n", clips[i].name,
                s.frameSample / n, s.finder / n, s.regions / n, s.cropSample / n, s.person / n,
                s.refine / n, s.blend / n, total / n,
                static_cast<double>(s.crops) / static_cast<double>(s.frames));
  }

  if (!pictures.empty()) {
    const std::string path = pictures + "/quality.png";
    if (!writePng(path, sheet(rows))) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    std::printf("\npictures: %s (each row: frame, single-pass matte, accurate matte, cut-out)\n",
                path.c_str());
  }
  return 0;
}
