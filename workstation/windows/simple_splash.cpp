#include "workstation/windows/simple_splash.h"

#include <QEventLoop>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

CSimpleSplash::CSimpleSplash(QWidget* parent)
    : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
  setObjectName("splash");
  auto* frame = new QFrame(this);
  frame->setFrameShape(QFrame::Box);
  auto* text = new QLabel("Loading Tabulo...Please wait", frame);
  text->setObjectName("splashLabel");
  text->setAlignment(Qt::AlignCenter);
  auto* inner = new QVBoxLayout(frame);
  inner->setContentsMargins(32, 20, 32, 20);
  inner->addWidget(text);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(frame);
  adjustSize();

  const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
  if (screen != nullptr) {
    QRect area = rect();
    area.moveCenter(screen->availableGeometry().center());
    move(area.topLeft());
  }
}

namespace veldrin {

std::unique_ptr<CSimpleSplash> ShowSplash(QWidget* parent, int milliseconds) {
  auto splash = std::make_unique<CSimpleSplash>(parent);
  splash->show();
  // Dispatch events for the whole time without spinning, so the splash gets painted.
  QEventLoop loop;
  QTimer::singleShot(std::max(0, milliseconds), &loop, &QEventLoop::quit);
  loop.exec();
  return splash;
}

}  // namespace veldrin
