// A build tool: writes the recovery alert's fixed texts to the file named by its one argument, so
// the font embedded for the alert is cut from the very strings the installer shows.
#include <cstdio>

#include "rollback.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: installer_alert_font_texts OUTPUT\n", stderr);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "we");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written =
      std::fputs(trelvo::installer::kAlertMessage, out) >= 0 && std::fputs("\n", out) >= 0 &&
      std::fputs(trelvo::installer::kAlertSentence, out) >= 0 && std::fputs("\n", out) >= 0;
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
