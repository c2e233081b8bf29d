// Stands in for the bundle's Python interpreter in the hand-over tests: writes its process id, its
// argument vector and its environment to standard output, one hex-encoded entry per line, and
// exits with the status named by TRELVO_STANDIN_STATUS (0 when unset).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

void writeEntry(char kind, const char* text) {
  std::string line(1, kind);
  line += ' ';
  static const char kDigits[] = "0123456789abcdef";
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    line += kDigits[byte >> 4];
    line += kDigits[byte & 0xF];
  }
  line += '\n';
  (void)std::fwrite(line.data(), 1, line.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
  (void)std::printf("P %ld\n", static_cast<long>(::getpid()));
  for (int i = 0; i < argc; ++i) writeEntry('A', argv[i]);
  for (char** entry = environ; *entry != nullptr; ++entry) writeEntry('E', *entry);
  const char* status = std::getenv("TRELVO_STANDIN_STATUS");
  return status != nullptr ? std::atoi(status) : 0;
}
