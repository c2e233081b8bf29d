// Where the time of one run goes, stage by stage, per frame: decoding and conversion to BGRA, the
// pipeline's stages, PNG encoding and the file write, each done one after the other on the
// program's settings (its reader, its engine threads, its encoder).
//
//   matte_stage_bench VIDEO
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine_segmenter.h"
#include "person_matte_pipeline.h"
#include "platform_linux.h"
#include "png_encoder.h"

int main(int argc, char** argv) {
  using namespace trelvo::matte;
  using Clock = std::chrono::steady_clock;
  if (argc != 2) {
    std::fprintf(stderr, "usage: matte_stage_bench VIDEO\n");
    return 2;
  }
  LinuxPlatform platform;
  std::unique_ptr<VideoTrack> track;
  std::string error;
  if (platform.loadTrack(argv[1], std::chrono::seconds(60), track) != TrackLoad::kLoaded) {
    std::fprintf(stderr, "matte_stage_bench: no video track in %s\n", argv[1]);
    return 1;
  }
  std::unique_ptr<FrameReader> reader = track->makeReader();
  auto pipeline =
      PersonMattePipeline::create(embeddedModel(), embeddedPersonModel(), kEngineThreads, error);
  if (!reader || !reader->startReading() || !pipeline) {
    std::fprintf(stderr, "matte_stage_bench: %s\n", error.c_str());
    return 1;
  }
  PngEncoder encoder;
  std::vector<std::uint8_t> png;
  double decode = 0, segment = 0, encode = 0, write = 0;
  std::uint64_t frames = 0;
  std::size_t bytes = 0;
  const std::string scratch = "/dev/null";
  BgraFrame frame;
  for (auto start = Clock::now();; ++frames) {
    if (!reader->nextFrame(frame)) break;
    auto t1 = Clock::now();
    decode += std::chrono::duration<double>(t1 - start).count();
    PersonMask mask;
    if (!pipeline->segment(frame, mask, error)) {
      std::fprintf(stderr, "matte_stage_bench: %s\n", error.c_str());
      return 1;
    }
    auto t2 = Clock::now();
    segment += std::chrono::duration<double>(t2 - t1).count();
    const GrayImage matte{mask.width, mask.height, std::move(mask.pixels)};
    if (!encoder.encode(matte, png)) return 1;
    auto t3 = Clock::now();
    encode += std::chrono::duration<double>(t3 - t2).count();
    std::FILE* file = std::fopen(scratch.c_str(), "we");
    if (file == nullptr || std::fwrite(png.data(), 1, png.size(), file) != png.size()) return 1;
    std::fclose(file);
    bytes += png.size();
    start = Clock::now();
    write += std::chrono::duration<double>(start - t3).count();
  }
  if (frames == 0) return 1;
  const StageTimes& s = pipeline->stageTimes();
  const double n = static_cast<double>(frames) / 1e3;
  std::printf(
      "%llu frames of %ux%u, one stage after the other, ms per frame (engine threads: %zu)\n",
      static_cast<unsigned long long>(frames), frame.width, frame.height, kEngineThreads);
  const struct {
    const char* name;
    double seconds;
  } rows[] = {{"decode + convert to BGRA", decode},
              {"finder: reduce + sample views", s.frameSample},
              {"finder: inference", s.finder},
              {"regions, people, crops", s.regions},
              {"crops: sample", s.cropSample},
              {"person model: inference", s.person},
              {"refine + compose", s.refine},
              {"temporal blend", s.blend},
              {"PNG encode", encode},
              {"file write", write}};
  double total = 0;
  for (const auto& row : rows) {
    std::printf("  %-32s %8.2f\n", row.name, row.seconds / n);
    total += row.seconds;
  }
  std::printf("  %-32s %8.2f   (segment() in all: %.2f; %.2f crops per frame)\n", "total",
              total / n, segment / n, static_cast<double>(s.crops) / static_cast<double>(frames));
  std::printf("  mean matte: %.1f KiB\n",
              static_cast<double>(bytes) / 1024.0 / static_cast<double>(frames));
  return 0;
}
