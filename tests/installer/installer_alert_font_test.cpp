// The recovery alert's dialog on a desktop whose fonts lack CJK (fontconfig limited to DejaVu):
// with the embedded font offered, its two texts lay out without a single unknown glyph, the
// desktop's own font still draws what it covers, and the error icon is there.
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
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

#include "alert_font.h"
#include "alert_linux.h"
#include "rollback.h"

namespace trelvo::installer {
namespace {

constexpr char kPath[] = "/home/user/Applications/.trelvo-beta-app-1";

using Report = std::map<std::string, std::string>;

template <typename To, typename From>
To* as(From* pointer) {
  return reinterpret_cast<To*>(pointer);
}

bool isA(gpointer instance, GType type) {
  return instance != nullptr &&
         g_type_check_instance_is_a(as<GTypeInstance>(instance), type) != FALSE;
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

// Runs in a child of its own: fontconfig and Pango keep their configuration for the life of a
// process, so each case starts from nothing. Reports "key=value" lines on `out`.
void measureDialog(bool embeddedFont, int out) {
  std::ostringstream report;
  int font = -1;
  if (embeddedFont) {
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

  if (embeddedFont) {
    removeAlertFont(font);
    const FcFontSet* left = FcConfigGetFonts(nullptr, FcSetApplication);
    report << "withdrawn=" << (left == nullptr || left->nfont == 0) << "\n";
    report << "closed=" << (font >= 0 && fcntl(font, F_GETFD) < 0 && errno == EBADF) << "\n";
  }
  const std::string text = report.str();
  const bool written = write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  _exit(written ? 0 : 4);
}

std::optional<Report> measureInChild(bool embeddedFont, const std::string& display) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    (void)close(pipeEnds[0]);
    (void)setenv("FONTCONFIG_FILE", TRELVO_TEST_FONTS_WITHOUT_CJK, 1);
    (void)setenv("DISPLAY", display.c_str(), 1);
    (void)setenv("GDK_BACKEND", "x11", 1);
    (void)setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus is needed to measure
    measureDialog(embeddedFont, pipeEnds[1]);
  }
  (void)close(pipeEnds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  (void)close(pipeEnds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the measuring child ended with status " << status;
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

struct FontCase {
  const char* name;
  bool embeddedFont;
};
void PrintTo(const FontCase& fontCase, std::ostream* os) { *os << fontCase.name; }

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
  const std::optional<Report> report = measureInChild(GetParam().embeddedFont, display);
  ASSERT_TRUE(report);
  const Report& r = *report;
  for (const char* text : {"message", "informative"}) {
    SCOPED_TRACE(text);
    const std::string key = text;
    ASSERT_EQ(r.count(key + ".unknown"), 1u) << "the dialog has no label with that text";
    const int unknown = std::stoi(r.at(key + ".unknown"));
    // The desktop's own font draws the Latin letters either way.
    EXPECT_EQ(r.at(key + ".latin"), "DejaVu Sans");
    if (GetParam().embeddedFont) {
      EXPECT_EQ(unknown, 0);
      EXPECT_EQ(r.at(key + ".cjk"), "Trelvo Alert Fallback");
    } else {
      EXPECT_GT(unknown, 0) << "the test's font set must lack CJK";
    }
  }
  EXPECT_EQ(r.at("icon"), "1") << "no visible dialog-error image in the dialog";
  EXPECT_EQ(r.at("icon.themed"), "1") << "the icon theme has no dialog-error";
  if (GetParam().embeddedFont) {
    EXPECT_EQ(r.at("offered"), "1");
    EXPECT_EQ(r.at("withdrawn"), "1") << "application fonts left after the alert";
    EXPECT_EQ(r.at("closed"), "1") << "the font's memory file is still open";
  }
}

INSTANTIATE_TEST_SUITE_P(Fonts, AlertFontTest,
                         ::testing::Values(FontCase{"DesktopFontsAlone", false},
                                           FontCase{"WithEmbeddedFont", true}),
                         [](const ::testing::TestParamInfo<FontCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(EmbeddedAlertFont, IsATrueTypeFileOfAFewKilobytes) {
  const auto font = alertFont();
  ASSERT_GE(font.size(), 12u);
  EXPECT_EQ(font[0], 0x00);
  EXPECT_EQ(font[1], 0x01);
  EXPECT_EQ(font[2], 0x00);
  EXPECT_EQ(font[3], 0x00);
  EXPECT_LT(font.size(), 64u * 1024) << "the alert's texts need a few kilobytes of glyphs";
}

}  // namespace
}  // namespace trelvo::installer
