// The shell windows: about box, splash and icons.

#include "workstation/windows/about_dlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "testing/qt_app.h"
#include "workstation/windows/app_icons.h"
#include "workstation/windows/simple_splash.h"

namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(
    new veldrin_test::CQtAppEnvironment("workstation_about_dlg_test"));

TEST(ShellWindows, AboutBoxShowsItsTextsAndClosesWithOk) {
  QCoreApplication::setApplicationVersion("1.2.3+git45.abcdef0");
  CAboutDlg about;
  QCoreApplication::setApplicationVersion({});
  EXPECT_EQ(about.windowTitle(), "About Tabulo");
  const auto* product = about.findChild<QLabel*>("productLabel");
  const auto* info = about.findChild<QLabel*>("infoLabel");
  const auto* icon = about.findChild<QLabel*>("iconLabel");
  auto* ok = about.findChild<QPushButton*>("okButton");
  ASSERT_TRUE(product && info && icon && ok);
  EXPECT_EQ(product->text(), "Tabulo");
  EXPECT_TRUE(info->text().endsWith(", version 1.2.3+git45.abcdef0")) << info->text().toStdString();
  EXPECT_FALSE(icon->pixmap().isNull());
  EXPECT_EQ(ok->text(), "OK");

  QTimer::singleShot(0, ok, [ok] { QTest::mouseClick(ok, Qt::LeftButton); });
  EXPECT_EQ(about.exec(), QDialog::Accepted);
}

TEST(ShellWindows, SplashShowsWhileEventsAreDispatched) {
  bool dispatched = false;
  QTimer::singleShot(0, [&] { dispatched = true; });
  auto splash = veldrin::ShowSplash(nullptr, 50);
  ASSERT_TRUE(splash);
  EXPECT_TRUE(dispatched);
  EXPECT_TRUE(splash->isVisible());
  const auto* text = splash->findChild<QLabel*>("splashLabel");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->text(), "Loading Tabulo...Please wait");
}

TEST(ShellWindows, IconsForButtonsAndApplication) {
  const QImage save = veldrin::LoadAppIcon(veldrin::IDI_SAVE).pixmap(16, 16).toImage();
  const QImage remove = veldrin::LoadAppIcon(veldrin::IDI_REMOVE).pixmap(16, 16).toImage();
  const QImage app = veldrin::LoadAppIcon(veldrin::IDI_MAIN).pixmap(16, 16).toImage();
  for (const QImage* image : {&save, &remove, &app}) {
    ASSERT_EQ(image->size(), QSize(16, 16));
  }
  EXPECT_NE(save, remove);
  EXPECT_NE(save, app);
  EXPECT_EQ(veldrin::LoadAppIcon(veldrin::IDI_ABOUT).pixmap(32, 32).toImage(),
            veldrin::LoadAppIcon(veldrin::IDI_MAIN).pixmap(32, 32).toImage());
  EXPECT_TRUE(veldrin::LoadAppIcon(4242).isNull());
}

}  // namespace
