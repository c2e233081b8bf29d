// TrelvoPersonMatte VIDEO OUT_DIR: writes one person matte PNG per frame of the video's first video
// track into OUT_DIR and prints the frame count as one JSON line.
#include <cstdio>
#include <string>
#include <vector>

#include "engine_segmenter.h"
#include "frame_reader.h"
#include "platform_linux.h"

int main(int argc, char** argv) {
  using namespace trelvo::matte;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) operands.emplace_back(argv[i]);
  LinuxPlatform platform;
  return static_cast<int>(
      runMatte(operands, platform, makeEngineSegmenter, RunOptions{}, stdout, stderr));
}
