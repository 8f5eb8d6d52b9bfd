#include <cstdio>
#include <cstring>

#include "app/Ostinato.h"

int main(int argc, char** argv) {
  // Answered before any window system is needed.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("ostinato 3.0\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "Usage: ostinato [ARCHIVE]\n"
          "The desktop program of Ostinato, the lossless archiver for 16-bit PCM audio.\n"
          "ARCHIVE, an .otq file, is opened at start-up.\n\n"
          "  --help     show this text\n"
          "  --version  show the version\n");
      return 0;
    }
  }
  COstinatoApp app(argc, argv);
  if (!app.InitInstance()) return 1;
  return app.ExitInstance(app.exec());
}
