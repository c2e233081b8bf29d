#include "alert_font.h"

#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>
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

namespace {

// The toolkit's font map keeps the font patterns it has read from fontconfig, the file path of
// each included, until it is told that the configuration has changed.
void tellFontMapOfChange() {
  PangoFontMap* fontMap = pango_cairo_font_map_get_default();
  if (fontMap != nullptr && g_type_check_instance_is_a(reinterpret_cast<GTypeInstance*>(fontMap),
                                                       pango_fc_font_map_get_type()) != FALSE) {
    pango_fc_font_map_config_changed(reinterpret_cast<PangoFcFontMap*>(fontMap));
  }
}

int applicationFontCount(FcConfig* config) {
  const FcFontSet* fonts = FcConfigGetFonts(config, FcSetApplication);
  return fonts == nullptr ? 0 : fonts->nfont;
}

}  // namespace

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
  if (config == nullptr) {
    (void)close(memoryFile);
    return -1;
  }
  // fontconfig reports success for a file in which it found no font at all.
  const int before = applicationFontCount(config);
  if (FcConfigAppFontAddFile(config, reinterpret_cast<const FcChar8*>(path.c_str())) == FcFalse ||
      applicationFontCount(config) <= before) {
    (void)close(memoryFile);
    return -1;
  }
  tellFontMapOfChange();
  return memoryFile;
}

void removeAlertFont(int memoryFile) {
  if (memoryFile < 0) return;
  // This clears every application font, not only the alert's: the installer offers no other.
  FcConfigAppFontClear(FcConfigGetCurrent());
  // Before the descriptor is closed: a pattern kept by the font map would name /proc/self/fd/N
  // after N is gone, or after N has been reused for another file.
  tellFontMapOfChange();
  (void)close(memoryFile);
}

}  // namespace trelvo::installer
