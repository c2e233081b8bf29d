// The recovery alert's fonts. On a desktop whose fonts lack CJK (fontconfig limited to DejaVu),
// with the embedded font offered, the dialog's two texts lay out without a single unknown glyph,
// the desktop's own font still draws what it covers, and the error icon is there; on a desktop
// with a CJK font of its own, that font still draws the CJK characters. Without a display: the
// embedded font covers the texts, and its registration keeps clear of the standard streams and
// leaves nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// In this order: fontconfig's FreeType header needs both before it.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <fontconfig/fcfreetype.h>

#include "alert_font.h"
#include "alert_linux.h"
#include "descriptors.h"
#include "rollback.h"

namespace trelvo::installer {
namespace {

constexpr char kPath[] = "/home/user/Applications/.trelvo-beta-app-1";
constexpr char kEmbeddedFamily[] = "Trelvo Alert Fallback";
// A child that has not reported by then is ended by SIGALRM and the case fails.
constexpr unsigned kChildLimitSeconds = 60;

using Report = std::map<std::string, std::string>;

template <typename To, typename From>
To* as(From* pointer) {
  return reinterpret_cast<To*>(pointer);
}

bool isA(gpointer instance, GType type) {
  return instance != nullptr &&
         g_type_check_instance_is_a(as<GTypeInstance>(instance), type) != FALSE;
}

// Runs `body` in a child of its own and returns the "key=value" lines of the text it returns.
// fontconfig and Pango keep their configuration for the life of a process, so each case starts
// from nothing. Nothing, with a test failure, when the child could not be run or did not end with
// status 0 within kChildLimitSeconds.
template <typename Body>
std::optional<Report> reportFromChild(Body body) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return std::nullopt;
  }
  // Above the standard streams, so a child that closes those keeps its end.
  const int readEnd = aboveStandardStreams(pipeEnds[0]);
  const int writeEnd = aboveStandardStreams(pipeEnds[1]);
  if (readEnd < 0 || writeEnd < 0) {
    ADD_FAILURE() << "no descriptor above the standard streams for the report pipe";
    if (readEnd >= 0) (void)close(readEnd);
    if (writeEnd >= 0) (void)close(writeEnd);
    return std::nullopt;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    (void)close(readEnd);
    (void)close(writeEnd);
    return std::nullopt;
  }
  if (pid == 0) {
    (void)close(readEnd);
    (void)alarm(kChildLimitSeconds);
    const std::string text = body();
    _exit(writeAll(writeEnd, text) ? 0 : 4);
  }
  (void)close(writeEnd);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(readEnd, buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  (void)close(readEnd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    ADD_FAILURE() << "the child did not finish within " << kChildLimitSeconds << " s";
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the child ended with status " << status;
    return std::nullopt;
  }
  Report report;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return report;
}

// The family of the font that draws the character at `byteOffset` of the layout's text.
std::string familyAt(PangoLayout* layout, int byteOffset) {
  std::string family;
  PangoLayoutIter* iter = pango_layout_get_iter(layout);
  do {
    PangoLayoutRun* run = pango_layout_iter_get_run_readonly(iter);
    if (run == nullptr) continue;
    const PangoItem* item = run->item;
    if (byteOffset < item->offset || byteOffset >= item->offset + item->length) continue;
    PangoFontDescription* description = pango_font_describe(item->analysis.font);
    family = pango_font_description_get_family(description);
    pango_font_description_free(description);
    break;
  } while (pango_layout_iter_next_run(iter) != FALSE);
  pango_layout_iter_free(iter);
  return family;
}

void findErrorIcon(GtkWidget* widget, gpointer found) {
  if (isA(widget, gtk_image_get_type())) {
    const gchar* name = nullptr;
    gtk_image_get_icon_name(as<GtkImage>(widget), &name, nullptr);
    if (name != nullptr && std::strcmp(name, "dialog-error") == 0 &&
        gtk_widget_get_visible(widget) != FALSE) {
      *static_cast<bool*>(found) = true;
    }
  }
  if (isA(widget, gtk_container_get_type())) {
    gtk_container_forall(as<GtkContainer>(widget), findErrorIcon, found);
  }
}

// The families Pango's default font map lists.
std::vector<std::string> listedFamilies() {
  std::vector<std::string> names;
  PangoFontFamily** families = nullptr;
  int count = 0;
  pango_font_map_list_families(pango_cairo_font_map_get_default(), &families, &count);
  for (int i = 0; i < count; ++i) names.emplace_back(pango_font_family_get_name(families[i]));
  g_free(families);
  return names;
}

bool lists(const std::vector<std::string>& families, const std::string& family) {
  return std::find(families.begin(), families.end(), family) != families.end();
}

struct FontCase {
  const char* name;
  const char* fontsFile;  // the desktop's font set, as FONTCONFIG_FILE
  bool embeddedFont;      // whether the embedded font is offered
  const char* cjkFamily;  // the family that must draw the CJK characters; nullptr: none can
};
void PrintTo(const FontCase& fontCase, std::ostream* os) { *os << fontCase.name; }

// Lays out the dialog on the display and reports what drew its texts.
std::string measureDialog(const FontCase& fontCase, const std::string& display) {
  (void)setenv("FONTCONFIG_FILE", fontCase.fontsFile, 1);
  (void)setenv("DISPLAY", display.c_str(), 1);
  (void)setenv("GDK_BACKEND", "x11", 1);
  (void)setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus is needed to measure
  std::ostringstream report;
  int font = -1;
  if (fontCase.embeddedFont) {
    const std::optional<int> opened = openToolkitWithAlertFont();
    if (!opened) _exit(3);
    font = *opened;
    report << "offered=" << (font >= 0) << "\n";
  } else if (gtk_init_check(nullptr, nullptr) == FALSE) {
    _exit(3);
  }

  const std::string informative = alertInformativeText(kPath);
  GtkWidget* dialog = makeAlertDialog(kAlertMessage, informative);
  GtkWidget* area = gtk_message_dialog_get_message_area(as<GtkMessageDialog>(dialog));
  GList* children = gtk_container_get_children(as<GtkContainer>(area));
  for (GList* child = children; child != nullptr; child = child->next) {
    if (!isA(child->data, gtk_label_get_type())) continue;
    GtkLabel* label = as<GtkLabel>(child->data);
    PangoLayout* layout = gtk_label_get_layout(label);
    const std::string text = gtk_label_get_text(label);
    const char* which = text == kAlertMessage ? "message"
                        : text == informative ? "informative"
                                              : "";
    if (*which == '\0') continue;
    report << which << ".unknown=" << pango_layout_get_unknown_glyphs_count(layout) << "\n";
    report << which << ".latin=" << familyAt(layout, static_cast<int>(text.find("Trelvo"))) << "\n";
    const std::size_t firstCjk = static_cast<std::size_t>(
        std::find_if(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; }) -
        text.begin());
    report << which << ".cjk=" << familyAt(layout, static_cast<int>(firstCjk)) << "\n";
  }
  g_list_free(children);

  bool icon = false;
  findErrorIcon(dialog, &icon);
  GtkIconInfo* info = gtk_icon_theme_lookup_icon(gtk_icon_theme_get_default(), "dialog-error", 48,
                                                 GtkIconLookupFlags{});
  report << "icon=" << icon << "\n"
         << "icon.themed=" << (info != nullptr) << "\n";
  if (info != nullptr) g_object_unref(info);
  gtk_widget_destroy(dialog);

  if (fontCase.embeddedFont) {
    removeAlertFont(font);
    const FcFontSet* left = FcConfigGetFonts(nullptr, FcSetApplication);
    report << "withdrawn=" << (left == nullptr || left->nfont == 0) << "\n";
    report << "closed=" << (font >= 0 && fcntl(font, F_GETFD) < 0 && errno == EBADF) << "\n";
  }
  return report.str();
}

class AlertFontTest : public ::testing::TestWithParam<FontCase> {};

TEST_P(AlertFontTest, TextsLayOutWithTheGlyphsTheyNeed) {
  const char* display = std::getenv("TRELVO_TEST_DISPLAY");
  if (display == nullptr || *display == '\0') {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::strcmp(ci, "true") == 0) {
      FAIL() << "TRELVO_TEST_DISPLAY is not set, but CI needs this test to run";
    }
    GTEST_SKIP() << "no test display (TRELVO_TEST_DISPLAY)";
  }
  const FontCase& fontCase = GetParam();
  const std::optional<Report> report =
      reportFromChild([&] { return measureDialog(fontCase, display); });
  ASSERT_TRUE(report);
  const Report& r = *report;
  for (const char* text : {"message", "informative"}) {
    SCOPED_TRACE(text);
    const std::string key = text;
    ASSERT_EQ(r.count(key + ".unknown"), 1u) << "the dialog has no label with that text";
    const int unknown = std::stoi(r.at(key + ".unknown"));
    // The desktop's own font draws the Latin letters either way.
    EXPECT_EQ(r.at(key + ".latin"), "DejaVu Sans");
    if (fontCase.cjkFamily != nullptr) {
      EXPECT_EQ(unknown, 0);
      EXPECT_EQ(r.at(key + ".cjk"), fontCase.cjkFamily);
    } else {
      EXPECT_GT(unknown, 0) << "the test's font set must lack CJK";
    }
  }
  EXPECT_EQ(r.at("icon"), "1") << "no visible dialog-error image in the dialog";
  EXPECT_EQ(r.at("icon.themed"), "1") << "the icon theme has no dialog-error";
  if (fontCase.embeddedFont) {
    EXPECT_EQ(r.at("offered"), "1");
    EXPECT_EQ(r.at("withdrawn"), "1") << "application fonts left after the alert";
    EXPECT_EQ(r.at("closed"), "1") << "the font's memory file is still open";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fonts, AlertFontTest,
    ::testing::Values(FontCase{"DesktopFontsAlone", TRELVO_TEST_FONTS_WITHOUT_CJK, false, nullptr},
                      FontCase{"WithEmbeddedFont", TRELVO_TEST_FONTS_WITHOUT_CJK, true,
                               kEmbeddedFamily},
                      // Offered as well, the embedded font does not push aside the desktop's own.
                      FontCase{"DesktopCjkFontComesFirst", TRELVO_TEST_FONTS_WITH_CJK, true,
                               "Droid Sans Fallback"}),
    [](const ::testing::TestParamInfo<FontCase>& param) { return std::string(param.param.name); });

TEST(EmbeddedAlertFont, IsATrueTypeFileOfAFewKilobytes) {
  const auto font = alertFont();
  ASSERT_GE(font.size(), 12u);
  EXPECT_EQ(font[0], 0x00);
  EXPECT_EQ(font[1], 0x01);
  EXPECT_EQ(font[2], 0x00);
  EXPECT_EQ(font[3], 0x00);
  EXPECT_LT(font.size(), 64u * 1024) << "the alert's texts need a few kilobytes of glyphs";
}

// Needs no display: the embedded font alone, read by FreeType from memory, has a glyph for every
// character of the alert's fixed texts that a desktop without CJK fonts may lack.
TEST(EmbeddedAlertFont, CoversEveryNonAsciiCharacterOfTheAlertTexts) {
  const auto font = alertFont();
  FT_Library library = nullptr;
  ASSERT_EQ(FT_Init_FreeType(&library), 0);
  FT_Face face = nullptr;
  ASSERT_EQ(FT_New_Memory_Face(library, font.data(), static_cast<FT_Long>(font.size()), 0, &face),
            0)
      << "FreeType cannot read the embedded font";
  FcPattern* pattern = FcFreeTypeQueryFace(face, reinterpret_cast<const FcChar8*>(""), 0, nullptr);
  FcChar8* family = nullptr;
  FcCharSet* charset = nullptr;
  if (pattern != nullptr) {
    (void)FcPatternGetString(pattern, FC_FAMILY, 0, &family);
    (void)FcPatternGetCharSet(pattern, FC_CHARSET, 0, &charset);
  }
  EXPECT_NE(pattern, nullptr) << "fontconfig cannot query the embedded font";
  EXPECT_STREQ(reinterpret_cast<const char*>(family), kEmbeddedFamily);
  EXPECT_NE(charset, nullptr);
  for (const char* text : {kAlertMessage, kAlertSentence}) {
    SCOPED_TRACE(text);
    const auto* bytes = reinterpret_cast<const FcChar8*>(text);
    int left = static_cast<int>(std::strlen(text));
    int nonAscii = 0;
    while (left > 0) {
      FcChar32 c = 0;
      const int used = FcUtf8ToUcs4(bytes, &c, left);
      ASSERT_GT(used, 0) << "the text is not UTF-8";
      bytes += used;
      left -= used;
      if (c < 0x80) continue;
      ++nonAscii;
      EXPECT_TRUE(charset != nullptr && FcCharSetHasChar(charset, c) != FcFalse)
          << "no glyph for U+" << std::hex << std::uppercase << c;
    }
    EXPECT_GT(nonAscii, 0) << "the text has no character beyond ASCII to check";
  }
  if (pattern != nullptr) FcPatternDestroy(pattern);
  (void)FT_Done_Face(face);
  (void)FT_Done_FreeType(library);
}

struct ClosedStreamsCase {
  const char* name;
  std::vector<int> closed;  // standard streams closed before the font is offered
};
void PrintTo(const ClosedStreamsCase& streamsCase, std::ostream* os) { *os << streamsCase.name; }

// Offers and withdraws the font in a process whose listed standard streams are closed, and
// reports on the memory file and on what fontconfig and the toolkit's font map list.
std::string offerAndWithdraw(const ClosedStreamsCase& streamsCase) {
  (void)setenv("FONTCONFIG_FILE", TRELVO_TEST_FONTS_WITHOUT_CJK, 1);
  for (const int fd : streamsCase.closed) (void)close(fd);
  std::ostringstream report;
  const int font = addAlertFont();
  report << "fd=" << font << "\n";
  if (font < 0) return report.str();
  report << "cloexec=" << ((fcntl(font, F_GETFD) & FD_CLOEXEC) != 0) << "\n";
  report << "sealed="
         << (fcntl(font, F_GET_SEALS) == (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL))
         << "\n";
  const auto embedded = alertFont();
  std::vector<std::uint8_t> held(embedded.size() + 1);
  const ssize_t got = pread(font, held.data(), held.size(), 0);
  report << "same="
         << (got == static_cast<ssize_t>(embedded.size()) &&
             std::equal(embedded.begin(), embedded.end(), held.begin()))
         << "\n";
  const FcFontSet* fonts = FcConfigGetFonts(nullptr, FcSetApplication);
  report << "fonts=" << (fonts == nullptr ? 0 : fonts->nfont) << "\n";
  if (fonts != nullptr && fonts->nfont > 0) {
    FcChar8* value = nullptr;
    if (FcPatternGetString(fonts->fonts[0], FC_FAMILY, 0, &value) == FcResultMatch) {
      report << "family=" << reinterpret_cast<const char*>(value) << "\n";
    }
    if (FcPatternGetString(fonts->fonts[0], FC_FILE, 0, &value) == FcResultMatch) {
      report << "file=" << reinterpret_cast<const char*>(value) << "\n";
    }
  }
  report << "listed=" << lists(listedFamilies(), kEmbeddedFamily) << "\n";

  removeAlertFont(font);
  const FcFontSet* left = FcConfigGetFonts(nullptr, FcSetApplication);
  report << "withdrawn=" << (left == nullptr || left->nfont == 0) << "\n";
  report << "closed=" << (fcntl(font, F_GETFD) < 0 && errno == EBADF) << "\n";
  // Had the font map kept its list, it would still offer a family whose file is gone.
  report << "listed.after=" << lists(listedFamilies(), kEmbeddedFamily) << "\n";
  return report.str();
}

class AlertFontRegistrationTest : public ::testing::TestWithParam<ClosedStreamsCase> {};

TEST_P(AlertFontRegistrationTest, MemoryFileStaysAboveTheStandardStreamsAndNothingIsLeft) {
  const ClosedStreamsCase& streamsCase = GetParam();
  const std::optional<Report> report =
      reportFromChild([&] { return offerAndWithdraw(streamsCase); });
  ASSERT_TRUE(report);
  const Report& r = *report;
  ASSERT_EQ(r.count("fd"), 1u);
  const int fd = std::stoi(r.at("fd"));
  ASSERT_GE(fd, 0) << "the font was not offered";
  EXPECT_GT(fd, STDERR_FILENO) << "the memory file took the place of a standard stream";
  EXPECT_EQ(r.at("cloexec"), "1");
  EXPECT_EQ(r.at("sealed"), "1") << "the memory file is not sealed against every change";
  EXPECT_EQ(r.at("same"), "1") << "the memory file does not hold the embedded font";
  EXPECT_EQ(r.at("fonts"), "1");
  EXPECT_EQ(r.count("family") == 1 ? r.at("family") : "", kEmbeddedFamily);
  EXPECT_EQ(r.count("file") == 1 ? r.at("file") : "", "/proc/self/fd/" + std::to_string(fd));
  EXPECT_EQ(r.at("listed"), "1") << "the toolkit's font map does not list the embedded font";
  EXPECT_EQ(r.at("withdrawn"), "1") << "application fonts left after the withdrawal";
  EXPECT_EQ(r.at("closed"), "1") << "the font's memory file is still open";
  EXPECT_EQ(r.at("listed.after"), "0") << "the toolkit's font map still lists the withdrawn font";
}

INSTANTIATE_TEST_SUITE_P(StandardStreams, AlertFontRegistrationTest,
                         ::testing::Values(ClosedStreamsCase{"AllOpen", {}},
                                           ClosedStreamsCase{"InputClosed", {0}},
                                           ClosedStreamsCase{"InputAndOutputClosed", {0, 1}}),
                         [](const ::testing::TestParamInfo<ClosedStreamsCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace trelvo::installer
