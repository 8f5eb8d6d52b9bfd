#include <cstdio>
#include <cstring>

#include "app/Ostinato.h"
#include "common/FileIO.h"
#include "controls/StopSignals.h"

int main(int argc, char** argv) {
  ost::HoldClosedStandardStreams();
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
  gui::InstallStopSignals();
  COstinatoApp app(argc, argv);
  const bool started = app.InitInstance();
  // A stop asked for before the main loop (at the title picture, say) ended
  // the loops that ran then; the main loop would not hear of it.
  if (const int signal = gui::StopSignal()) return 128 + signal;
  if (!started) return 1;
  return app.ExitInstance(app.exec());
}
