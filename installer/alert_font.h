// The glyphs of the recovery alert's fixed texts, cut from a CJK font at build time and embedded,
// so the alert reads the same on a desktop without CJK fonts.
#pragma once

#include <cstdint>
#include <span>

namespace trelvo::installer {

// The embedded font file (TrueType), family "Trelvo Alert Fallback".
std::span<const std::uint8_t> alertFont();

// Offers the embedded font to fontconfig's current configuration as an application font, read
// from a sealed memory file, so the toolkit falls back to it for the characters the desktop's own
// fonts lack. Call before the toolkit builds its font map. Returns the memory file's descriptor,
// or -1 when the font could not be offered (the alert then uses the desktop's fonts alone).
int addAlertFont();
// Withdraws the application fonts and closes the memory file; nothing happens for -1.
void removeAlertFont(int memoryFile);

}  // namespace trelvo::installer
