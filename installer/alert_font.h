// The glyphs of the recovery alert's fixed texts, cut from a CJK font at build time and embedded,
// so the alert reads the same on a desktop without CJK fonts.
#pragma once

#include <cstdint>
#include <span>

namespace trelvo::installer {

// The embedded font file (TrueType), family "Trelvo Alert Fallback".
std::span<const std::uint8_t> alertFont();

// Offers the embedded font to fontconfig's current configuration as an application font, read
// from a sealed memory file, and has the toolkit's font map read fontconfig's font list again
// (whether or not it had read it already), so the toolkit falls back to the font for the
// characters the desktop's own fonts lack. Returns the memory file's descriptor, always above the
// standard streams, or -1 when the font could not be offered (the alert then uses the desktop's
// fonts alone).
int addAlertFont();
// Withdraws every application font of fontconfig's current configuration, has the toolkit's font
// map forget them, then closes the memory file; nothing happens for -1.
void removeAlertFont(int memoryFile);

}  // namespace trelvo::installer
