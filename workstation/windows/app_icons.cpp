#include "workstation/windows/app_icons.h"

#include <QString>
#include <initializer_list>

// The icons are image files compiled in from icons.qrc. A resource file in a static library
// is registered only when something calls its initialiser, which must stand outside any
// namespace.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace veldrin {
namespace {

// ":/icons/<name>-<size>.png" for every size drawn.
QIcon FromFiles(const char* name, std::initializer_list<int> sizes) {
  static const bool registered = (InitIconResources(), true);
  (void)registered;
  QIcon icon;
  for (const int size : sizes) {
    icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(QLatin1String(name)).arg(size),
                 QSize(size, size));
  }
  return icon;
}

}  // namespace

QIcon LoadAppIcon(int id) {
  switch (id) {
    case IDI_MAIN:
    case IDI_ABOUT:
      return FromFiles("application", {16, 24, 32, 48, 64, 128, 256});
    case IDI_SAVE:
      return FromFiles("save", {16, 24, 32, 48});
    case IDI_REMOVE:
      return FromFiles("remove", {16, 24, 32, 48});
    default:
      return {};
  }
}

}  // namespace veldrin
