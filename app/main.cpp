#include <QApplication>

#include "app/veldrin_app.h"

int main(int argc, char** argv) {
  QApplication qt(argc, argv);
  CVeldrinApp app(argc, argv);
  // The dialog's result is the exit status: -1 (255) when no camera could be used or the host left.
  return app.InitInstance() & 0xFF;
}
