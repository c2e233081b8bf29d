// TrelvoService: hands its process over to the bundle's Python service, forwarding its arguments.
#include "launcher.h"
#include "platform.h"

int main(int argc, char** argv) {
  trelvo::service::LinuxPlatform platform;
  return static_cast<int>(trelvo::service::runLauncher(platform, argc, argv));
}
