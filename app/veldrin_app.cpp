#include "app/veldrin_app.h"

#include <QApplication>
#include <QCheckBox>
#include <QTimer>

#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/framework_services.h"
#include "app/qt_message_box.h"
#include "app/shutdown_signals.h"
#include "platform/message_box.h"
#include "workstation/windows/veldrin_dlg.h"

CVeldrinApp::CVeldrinApp(int argc, char** argv) {
  if (argc > 1) m_strInstanceName = argv[1];
}

namespace {

// Saves every visible 3D View beside the main window's screenshot ("<file>-3d-view.png").
void Save3DViews(const std::string& file) {
  std::string stem = file;
  if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".png") == 0)
    stem.resize(stem.size() - 4);
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() != QLatin1String("134") || !w->isVisible()) continue;
    const std::string view = stem + "-3d-view.png";
    if (w->grab().save(QString::fromStdString(view)))
      std::cout << "veldrin: screenshot saved to " << view << std::endl;
  }
}

// For demos: VELDRIN_DEMO_CHECK=1023,1017 clicks those check boxes of the main window (when
// enabled and not yet checked) a moment after the start, as an operator would.
void ScheduleDemoChecks(CVeldrinDlg& dlg) {
  const char* ids = std::getenv("VELDRIN_DEMO_CHECK");
  if (!ids || !*ids) return;
  const QStringList names = QString::fromLatin1(ids).split(QLatin1Char(','));
  QTimer::singleShot(1500, &dlg, [&dlg, names] {
    for (const QString& name : names) {
      auto* box = dlg.findChild<QCheckBox*>(name.trimmed());
      if (box && box->isEnabled() && !box->isChecked()) box->click();
    }
  });
}

// For demos and documentation without a person at the screen: VELDRIN_SCREENSHOT=file.png saves
// the main window (and any 3D View) after VELDRIN_SCREENSHOT_AFTER_MS (default 4000) and closes
// it.
void ScheduleScreenshot(CVeldrinDlg& dlg) {
  const char* path = std::getenv("VELDRIN_SCREENSHOT");
  if (!path || !*path) return;
  const char* after = std::getenv("VELDRIN_SCREENSHOT_AFTER_MS");
  const int ms = after ? std::atoi(after) : 4000;
  const std::string file = path;
  QTimer::singleShot(ms, &dlg, [&dlg, file] {
    if (dlg.grab().save(QString::fromStdString(file)))
      std::cout << "veldrin: screenshot saved to " << file << std::endl;
    else
      std::cerr << "veldrin: cannot write screenshot " << file << std::endl;
    Save3DViews(file);
    dlg.close();
  });
}

// Time the close sequence gets once the window has ended; it needs well under a second.
constexpr int kCloseSeconds = 10;

}  // namespace

int CVeldrinApp::InitInstance() {
  veldrin::InitSettingsRoot();
  CScopedMessageBoxService boxes(std::make_shared<CQtMessageBox>());
  CVeldrinDlg dlg(m_strInstanceName);
  ScheduleScreenshot(dlg);
  // A signal ends the tool as a closed window does; the end of its starter as the host leaving
  // does. Open boxes and dialogs close first: nobody is left to answer them.
  CShutdownSignals stopSignals([&dlg] { dlg.OnStopRequested(); }, [&dlg] { dlg.OnHostGone(); });
  // Whatever the end, what follows (settings, engines) gets a bounded time.
  QObject::connect(&dlg, &CVeldrinDlg::Ended, [](int result) {
    veldrin::ArmExitWatchdog(kCloseSeconds, result == -1 ? 1 : 0);
  });
  ScheduleDemoChecks(dlg);
  return dlg.DoModal();
}
