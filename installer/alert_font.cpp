#include "alert_font.h"

#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>

extern "C" {
extern const std::uint8_t trelvo_alert_font_begin[];
extern const std::uint8_t trelvo_alert_font_end[];
}

namespace trelvo::installer {

std::span<const std::uint8_t> alertFont() {
  return {trelvo_alert_font_begin, trelvo_alert_font_end};
}

int addAlertFont() {
  // fontconfig takes fonts by path only. A memory file's /proc path is one that lives exactly as
  // long as the descriptor, and nothing is written to any file system.
  const int memoryFile = memfd_create("trelvo-alert-font", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memoryFile < 0) return -1;
  std::span<const std::uint8_t> rest = alertFont();
  while (!rest.empty()) {
    const ssize_t written = write(memoryFile, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      (void)close(memoryFile);
      return -1;
    }
    rest = rest.subspan(static_cast<std::size_t>(written));
  }
  // Sealed, so what fontconfig scans now and FreeType maps later are the same bytes.
  (void)fcntl(memoryFile, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  const std::string path = "/proc/self/fd/" + std::to_string(memoryFile);
  FcConfig* config = FcConfigGetCurrent();
  if (config == nullptr ||
      FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(path.c_str())) == FcFalse) {
    (void)close(memoryFile);
    return -1;
  }
  return memoryFile;
}

void removeAlertFont(int memoryFile) {
  if (memoryFile < 0) return;
  FcConfigAppFontClear(FcConfigGetCurrent());
  (void)close(memoryFile);
}

}  // namespace trelvo::installer
