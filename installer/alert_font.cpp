#include "alert_font.h"

#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "descriptors.h"

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
  const int memoryFile =
      aboveStandardStreams(memfd_create("trelvo-alert-font", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (memoryFile < 0) return -1;
  const std::span<const std::uint8_t> font = alertFont();
  // Sealed, so what fontconfig scans now and FreeType maps later are the same bytes.
  if (!writeAll(memoryFile,
                std::string_view(reinterpret_cast<const char*>(font.data()), font.size())) ||
      fcntl(memoryFile, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
          0) {
    (void)close(memoryFile);
    return -1;
  }
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
