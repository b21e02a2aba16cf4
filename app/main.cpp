#include <QApplication>

#include <cstdio>
#include <cstring>

#include "app/veldrin_app.h"
#include "platform/version.h"

namespace {

constexpr const char* kUsage =
    "usage: veldrin NAME\n"
    "  NAME       the instance name the host created its status block under; the host starts\n"
    "             the tool with it (veldrin-host --name NAME ... -- veldrin)\n"
    "  --help     this text\n"
    "  --version  the version\n"
    "Exit status: 0 when the window was closed, 1 when the tool could not start or the host "
    "left.\n";

}  // namespace

int main(int argc, char** argv) {
  // Asked from a terminal, so answered there, before Qt starts: no display is needed for them.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("veldrin %s\n", veldrin::VersionText());
    return 0;
  }
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  QApplication qt(argc, argv);
  QApplication::setApplicationVersion(QString::fromLatin1(veldrin::VersionText()));
  CVeldrinApp app(argc, argv);
  // Exit status 1 when the dialog ended with -1 (no usable camera, or the host left), else 0.
  return app.InitInstance() == -1 ? 1 : 0;
}
