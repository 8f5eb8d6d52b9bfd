#include "app/Ostinato.h"

int main(int argc, char** argv) {
  COstinatoApp app(argc, argv);
  if (!app.InitInstance()) return 1;
  return app.ExitInstance(app.exec());
}
