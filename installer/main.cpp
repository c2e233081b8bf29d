#include <string>
#include <vector>

#include "platform.h"
#include "transaction.h"

int main(int argc, char** argv) {
  using namespace trelvo::installer;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::unique_ptr<Platform> platform = makeLinuxPlatform();
  return static_cast<int>(runInstaller(*platform, arguments));
}
