// TrelvoPersonMatte VIDEO OUT_DIR: writes one person matte PNG per frame of the video's first video
// track into OUT_DIR and prints the frame count as one JSON line.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "engine_segmenter.h"
#include "platform_linux.h"
#include "run_matte.h"

int main(int argc, char** argv) {
  using namespace trelvo::matte;
  // A frame-count line that cannot be written, its reader gone, is status 1 like any other failed
  // write, not death by SIGPIPE. The program starts nothing that could inherit this.
  (void)std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) operands.emplace_back(argv[i]);
  LinuxPlatform platform;
  return static_cast<int>(
      runMatte(operands, platform, makeEngineSegmenter, RunOptions{}, stdout, stderr));
}
