#include <QApplication>

#include <cstdio>
#include <cstring>

#include "app/veldrin_app.h"
#include "platform/version.h"

int main(int argc, char** argv) {
  // Answered before Qt starts, so it works without a display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("veldrin %s\n", veldrin::VersionText());
    return 0;
  }
  QApplication qt(argc, argv);
  QApplication::setApplicationVersion(QString::fromLatin1(veldrin::VersionText()));
  CVeldrinApp app(argc, argv);
  // Exit status 1 when the dialog ended with -1 (no usable camera, or the host left), else 0.
  return app.InitInstance() == -1 ? 1 : 0;
}
