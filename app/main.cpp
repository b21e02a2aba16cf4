#include <QApplication>

#include "app/veldrin_app.h"

int main(int argc, char** argv) {
  QApplication qt(argc, argv);
  CVeldrinApp app(argc, argv);
  // Exit status 1 when the dialog ended with -1 (no usable camera, or the host left), else 0.
  return app.InitInstance() == -1 ? 1 : 0;
}
