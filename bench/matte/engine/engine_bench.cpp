// Median time of one inference of the embedded model on one and on two threads, and of the
// pre-processing of a 1920x1080 BGRA frame, measured in one run and printed with their ratios.
//
//   matte_engine_bench [iterations]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/median.h"
#include "preprocess.h"
#include "segmentation_engine.h"
#include "tflite_reader.h"
#include "xnn_network.h"

namespace {

using trelvo::matte::BgraFrame;

struct Timing {
  double median = 0;
  double fastest = 0;
};

// Median and fastest of `iterations` runs; a fastest far below the median says the machine was
// busy with other work.
Timing measure(int iterations, const std::function<void()>& body) {
  for (int i = 0; i < 3; ++i) body();  // warm caches, threads and packed weights
  std::vector<double> times;
  for (int i = 0; i < iterations; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  return {trelvo::bench::median(times), *std::min_element(times.begin(), times.end())};
}

// The obvious per-pixel version, coordinates and weights worked out for every sample: the
// baseline the sampler's tables are measured against.
void naiveSample(const BgraFrame& f, std::uint32_t ow, std::uint32_t oh, float* out) {
  for (std::uint32_t y = 0; y < oh; ++y) {
    for (std::uint32_t x = 0; x < ow; ++x) {
      const double sy = std::clamp((y + 0.5) * f.height / oh - 0.5, 0.0, f.height - 1.0);
      const double sx = std::clamp((x + 0.5) * f.width / ow - 0.5, 0.0, f.width - 1.0);
      const auto y0 = static_cast<std::uint32_t>(sy), x0 = static_cast<std::uint32_t>(sx);
      const std::uint32_t y1 = std::min(y0 + 1, f.height - 1), x1 = std::min(x0 + 1, f.width - 1);
      const double fy = sy - y0, fx = sx - x0;
      for (int c = 2; c >= 0; --c) {
        auto px = [&](std::uint32_t yy, std::uint32_t xx) {
          return static_cast<double>(
              f.pixels[yy * f.stride + xx * 4 + static_cast<std::uint32_t>(c)]);
        };
        const double top = px(y0, x0) + (px(y0, x1) - px(y0, x0)) * fx;
        const double bottom = px(y1, x0) + (px(y1, x1) - px(y1, x0)) * fx;
        *out++ = static_cast<float>((top + (bottom - top) * fy) / 255.0);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::max(5, std::atoi(argv[1])) : 50;
  trelvo::matte::Graph graph;
  std::string error;
  if (!trelvo::matte::readTfliteModel(trelvo::matte::embeddedModel(), graph, error)) {
    std::fprintf(stderr, "model: %s\n", error.c_str());
    return 1;
  }
  Timing inference[2];
  std::vector<std::uint32_t> inputShape;
  for (std::size_t threads : {1u, 2u}) {
    auto net = trelvo::matte::XnnNetwork::create(graph, threads, error);
    if (!net) {
      std::fprintf(stderr, "runtime: %s\n", error.c_str());
      return 1;
    }
    inputShape = net->inputShape();
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (std::size_t i = 0; i < net->inputSize(); ++i) net->input()[i] = dist(rng);
    bool ok = true;
    inference[threads - 1] = measure(iterations, [&] { ok = net->run(error) && ok; });
    if (!ok) {
      std::fprintf(stderr, "run: %s\n", error.c_str());
      return 1;
    }
  }

  const std::uint32_t w = 1920, h = 1080;
  std::vector<std::uint8_t> pixels(std::size_t{w} * h * 4);
  std::mt19937 rng(2);
  for (auto& p : pixels) p = static_cast<std::uint8_t>(rng());
  const BgraFrame frame{pixels.data(), w, h, std::size_t{w} * 4};
  const std::uint32_t ow = inputShape[2], oh = inputShape[1];
  std::vector<float> out(std::size_t{ow} * oh * 3);
  trelvo::matte::FrameSampler sampler(ow, oh);
  const Timing sampled = measure(iterations, [&] { sampler.sample(frame, out.data()); });
  const Timing naive = measure(iterations, [&] { naiveSample(frame, ow, oh, out.data()); });

  std::printf("model input %ux%u, %d iterations           median    fastest\n", ow, oh, iterations);
  std::printf("  inference, 1 thread               %8.3f ms %8.3f ms\n", inference[0].median,
              inference[0].fastest);
  std::printf("  inference, 2 threads              %8.3f ms %8.3f ms\n", inference[1].median,
              inference[1].fastest);
  std::printf("  pre-processing 1920x1080          %8.3f ms %8.3f ms\n", sampled.median,
              sampled.fastest);
  std::printf("  per-pixel sampling (baseline)     %8.3f ms %8.3f ms\n", naive.median,
              naive.fastest);
  std::printf(
      "ratios of medians: 2 threads / 1 thread %.2f; 2 threads / 5 ms goal %.2f; "
      "pre-processing / 2-thread inference %.3f; pre-processing / baseline %.2f\n",
      inference[1].median / inference[0].median, inference[1].median / 5.0,
      sampled.median / inference[1].median, sampled.median / naive.median);
  return 0;
}
