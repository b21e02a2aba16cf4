#include <QApplication>

#include <cstdio>
#include <cstring>

#include "app/veldrin_app.h"

namespace {

constexpr const char* kUsage =
    "usage: veldrin NAME\n"
    "  NAME    the instance name the host created its status block under; the host starts the\n"
    "          tool with it (veldrin-host --name NAME ... -- veldrin)\n"
    "  --help  this text\n"
    "Exit status: 0 when the window was closed, 1 when the tool could not start or the host "
    "left.\n";

}  // namespace

int main(int argc, char** argv) {
  // Asked from a terminal, so answered there: no display is needed for it.
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  QApplication qt(argc, argv);
  CVeldrinApp app(argc, argv);
  // Exit status 1 when the dialog ended with -1 (no usable camera, or the host left), else 0.
  return app.InitInstance() == -1 ? 1 : 0;
}
