// The main window against real shared memory, virtual cameras and a scripted message box.
#include "workstation/windows/dialog_test_fixture.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QGraphicsEffect>
#include <QMenu>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTest>
#include <QToolButton>

#include "workstation/windows/camera_controls.h"
#include "workstation/windows/lens_controls.h"
#include "workstation/windows/status_line.h"
#ifdef VELDRIN_TEST_HAVE_QRENCODE
#include "testing/qr_test_pattern.h"
#endif

namespace veldrin_test {
namespace {

// Runs the camera configuration, choosing `size` (and `divisor` unless negative) and OK.
void ConfigureCamera(CVeldrinDlg& dlg, const char* size, int divisor = -1) {
  QTimer::singleShot(200, [size, divisor] {
    auto* config = qobject_cast<CCameraConfiguraionDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(config, nullptr);
    auto* resolutions = config->findChild<QComboBox*>("1024");
    resolutions->setCurrentIndex(resolutions->findText(size));
    if (divisor >= 0) config->findChild<QComboBox*>("1025")->setCurrentIndex(divisor);
    config->accept();
  });
  dlg.CameraControls().OnConfiguration();
}

// One cause, one message: without a host nothing about cameras is asked, and the message says
// how the tool is meant to be started.
TEST_F(VeldrinDlgTest, WithoutHostOneMessageSaysTheHostStartsTheTool) {
  for (const std::string& name : {std::string(), std::string("no-such-instance")}) {
    auto boxes = std::make_shared<CScriptedMessageBox>();
    CScopedMessageBoxService scope(boxes);
    auto dlg = Open(name);
    EXPECT_EQ(dlg->windowTitle().toStdString(), name);
    const auto texts = boxes->Texts();
    ASSERT_EQ(texts.size(), 1u) << name;
    EXPECT_EQ(texts[0].rfind(Text(veldrin::IDS_CONNECTION_FAILED), 0), 0u);
    EXPECT_NE(texts[0].find("started by the host, with the instance name as its argument"),
              std::string::npos);
    if (!name.empty()) {
      EXPECT_NE(texts[0].find("\"" + name + "\""), std::string::npos);
    }
    EXPECT_EQ(boxes->Calls()[0].type, MB_ICONERROR | MB_OK);
    EXPECT_TRUE(dlg->IsEnded());
    EXPECT_EQ(dlg->EndResult(), -1);
    EXPECT_EQ(dlg->CurrentCamera(), -1);
  }
}

TEST_F(VeldrinDlgTest, NoCameraIsOneMessageAndTheEnd) {
  StartHost(1000, 500);
  SetCameras("");
  auto dlg = Open(m_name);
  const auto texts = m_boxes->Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], Text(veldrin::IDS_CAMERA_NOT_FOUND));
  EXPECT_EQ(dlg->EndResult(), -1);
  dlg.reset();
  EXPECT_EQ(Settings().ReadCamera(), "");  // no camera was open: nothing saved
}

TEST_F(VeldrinDlgTest, PreferredCameraIsFoundByNameWithoutAsking) {
  auto dlg = OpenWith("Still B");
  EXPECT_TRUE(m_boxes->Texts().empty());
  EXPECT_FALSE(dlg->IsEnded());
  EXPECT_EQ(dlg->CurrentCamera(), 1);
  EXPECT_EQ(dlg->windowTitle().toStdString(), m_name);
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCameraComboId);
  ASSERT_NE(combo, nullptr);
  // The window title is the instance name and nothing else; entries carry no empty "()".
  EXPECT_EQ(combo->currentText().toStdString(), "Cam 1 (Still B)");
  INFO_CAM_DATA record;
  ASSERT_TRUE(dlg->CameraList()->GetCameraAt(1, record));
  EXPECT_EQ(record.nState, veldrin::kCamStateMain);
  EXPECT_EQ(record.nTab, 0);
}

// A host may start the tool before it names its folder: the start waits for the folder and then
// reads the settings there, as if it had been there all along; a host that ends first ends it.
TEST_F(VeldrinDlgTest, StartWaitsForTheHostsFolderAndThenReadsItsSettings) {
  StartHost(1000, 500);
  ASSERT_TRUE(Settings().WriteCamera("Still B"));
  ASSERT_EQ(m_host->SetFolder(""), 1);
  QTimer::singleShot(600, [this] { EXPECT_EQ(m_host->SetFolder(m_dir.string() + "/"), 1); });
  auto dlg = Open(m_name);
  EXPECT_TRUE(m_boxes->Texts().empty());
  EXPECT_FALSE(dlg->IsEnded());
  EXPECT_EQ(dlg->CurrentCamera(), 1);
  dlg.reset();

  ASSERT_EQ(m_host->SetFolder(""), 1);
  QTimer::singleShot(600, [this] { m_host.reset(); });
  dlg = Open(m_name);
  EXPECT_TRUE(dlg->IsEnded());
  EXPECT_EQ(dlg->EndResult(), -1);
  EXPECT_TRUE(m_boxes->Texts().empty());
}

// A missing preferred camera asks: Yes takes the first free one, No ends without also saying no
// camera could be opened and without saving settings.
TEST_F(VeldrinDlgTest, MissingPreferredCameraAsksYesTakesTheFirstFreeNoEnds) {
  for (const int answer : {IDYES, IDNO}) {
    SCOPED_TRACE(answer);
    const std::size_t before = m_boxes->Calls().size();
    m_boxes->QueueAnswer(answer);
    auto dlg = OpenWith("Gone");
    const auto calls = m_boxes->Calls();
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back().text, Text(veldrin::IDS_PREFERRED_CAMERA_UNAVAILABLE));
    EXPECT_EQ(calls.back().type, MB_YESNO);
    EXPECT_EQ(dlg->IsEnded(), answer == IDNO);
    EXPECT_EQ(dlg->CurrentCamera(), answer == IDYES ? 0 : -1);
    if (answer == IDNO) {
      EXPECT_EQ(dlg->EndResult(), -1);
      dlg.reset();
      EXPECT_EQ(Settings().ReadCamera(), "Gone");
    }
  }
}

// The first start (no camera stored) asks nothing: the first available camera is taken.
TEST_F(VeldrinDlgTest, FirstStartTakesTheFirstAvailableCameraAndSaysSo) {
  StartHost(1000, 500);
  auto dlg = Open(m_name);
  EXPECT_TRUE(m_boxes->Texts().empty());
  EXPECT_EQ(dlg->CurrentCamera(), 0);
  EXPECT_NE(dlg->Status().Notice().find("using Cam 0 (Still A)"), std::string::npos)
      << dlg->Status().Notice();
  dlg.reset();
  EXPECT_EQ(Settings().ReadCamera(), "Still A");
}

// The host's end or a stop signal while a dialog waits for an answer: the dialog closes as
// Cancel, the tool ends and its settings are written.
TEST_F(VeldrinDlgTest, AnOpenDialogDoesNotHoldTheEndBack) {
  const std::vector<std::pair<const char*, std::function<void(CVeldrinDlg&)>>> dialogs = {
      {"calibration name", [](CVeldrinDlg& d) { d.CalibrationList().OnSaveCalibration(); }},
      {"check accuracy",
       [](CVeldrinDlg& d) { d.findChild<QPushButton*>(veldrin::kCheckAccuracyButtonId)->click(); }},
      {"lens", [](CVeldrinDlg& d) { d.LensControls().OnLensDialog(); }},
      {"camera configuration", [](CVeldrinDlg& d) { d.CameraControls().OnConfiguration(); }},
  };
  StartHost(1000, 500);
  for (const bool signal : {false, true}) {
    for (const auto& [name, open] : dialogs) {
      SCOPED_TRACE(std::string(name) + (signal ? ", signal" : ", host gone"));
      ASSERT_TRUE(Settings().WriteCamera("Still B"));
      ASSERT_TRUE(Settings().WriteCalibIndex(7));
      auto dlg = Open(m_name);
      ASSERT_EQ(dlg->CurrentCamera(), 1);
      bool seen = false, stillOpen = false;
      QTimer timer;
      QObject::connect(&timer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == dlg.get() || seen) return;
        seen = true;
        signal ? dlg->OnStopRequested() : dlg->OnHostGone();
        // Still open: the test closes it, so that it can go on.
        if (QWidget* left = QApplication::activeModalWidget(); left && left != dlg.get()) {
          stillOpen = true;
          left->close();
        }
      });
      timer.start(20);
      open(*dlg);  // returns once the dialog has closed
      EXPECT_TRUE(seen);
      EXPECT_FALSE(stillOpen);
      EXPECT_TRUE(dlg->IsEnded());
      EXPECT_EQ(dlg->EndResult(), signal ? QDialog::Accepted : -1);
      dlg.reset();
      EXPECT_EQ(Settings().ReadCalibIndex(), 0);
      EXPECT_EQ(Settings().ReadResX(), 640);
    }
  }
  EXPECT_FALSE(fs::exists(m_dir / "Default.clb"));
}

TEST_F(VeldrinDlgTest, PublishedPictureIsTheWarpOfTheCameraPicture) {
  auto dlg = OpenWith("Still A");
  EXPECT_EQ(m_host->SetMediaSize(500, 1000), 1);  // the tool wrote its own values when it attached
  const cv::Mat picture = TakePictureOfSize(640, 320);
  ASSERT_FALSE(picture.empty());
  EXPECT_LE(MaxDiff(picture, IndependentWarp(m_still, dlg->Corners(), 640, 320)), 1.0);
  EXPECT_TRUE(WaitFor([&] {
    return dlg->findChild<QLabel*>(veldrin::kMediaWidthLabelId)->text().toStdString() ==
           "Media Width: 1000 mm";
  }));
  EXPECT_EQ(dlg->findChild<QLabel*>(veldrin::kMediaHeightLabelId)->text().toStdString(),
            "Media Height: 500 mm");

  EXPECT_EQ(m_host->SetMediaSize(1000, 500), 1);  // portrait
  EXPECT_FALSE(TakePictureOfSize(240, 480).empty());
}

// The host's end is noticed without frames (in snapshot mode the main camera is stopped) and asks
// nothing; the settings go to the folder the host had published, although the host has gone.
TEST_F(VeldrinDlgTest, HostExitEndsTheToolInSnapshotModeAndSettingsAreWritten) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(m_dir.string() + "/", "Only",
                                                  {{10, 10}, {600, 10}, {600, 400}, {10, 400}}));
  auto dlg = OpenWith("Still B");
  dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->setCurrentIndex(1);
  dlg->CalibrationList().OnCalibrationSelected();
  ASSERT_FALSE(TakePicture().empty());
  dlg->findChild<QCheckBox*>(veldrin::kSnapshotCheckId)->click();
  EXPECT_EQ(m_host->AcknowledgeImage(), 1);  // snapshot mode publishes nothing more
  EXPECT_TRUE(NothingHappensFor(
      200ms, [&] { return m_host->IsImageReady() != 0; }, ProcessEvents));
  m_host.reset();
  ASSERT_TRUE(WaitFor([&] { return dlg->IsEnded(); }, 1000));
  EXPECT_EQ(dlg->EndResult(), -1);
  EXPECT_TRUE(m_boxes->Texts().empty());
  dlg.reset();
  EXPECT_EQ(Settings().ReadCamera(), "Still B");
  EXPECT_EQ(Settings().ReadCalibIndex(), 1);
}

TEST_F(VeldrinDlgTest, DraggingACornerMovesItAndChangesThePublishedPicture) {
  auto dlg = OpenWith("Still A");
  dlg->resize(1200, 700);
  EXPECT_EQ(m_host->SetMediaSize(500, 1000), 1);
  ASSERT_FALSE(TakePictureOfSize(640, 320).empty());
  ASSERT_TRUE(WaitFor([&] { return !dlg->InputWindow()->GrabSurface().isNull(); }));
  QCoreApplication::processEvents();
  Drag(*dlg, {160, 120}, {100, 60});

  const cv::Point2f moved = dlg->Corners()[0];
  EXPECT_NEAR(moved.x, 100, 3);
  EXPECT_NEAR(moved.y, 60, 3);
  EXPECT_EQ(dlg->findChild<QLabel*>(veldrin::kPoint1LabelId)->text(),
            QString::asprintf("P.1 = (%.1f, %.1f)", moved.x, moved.y));
  EXPECT_TRUE(dlg->findChild<QWidget*>(veldrin::kSaveCalibrationButtonId)->isEnabled());

  // Pictures in flight may predate the drag; the warp with the new corners must arrive.
  const cv::Mat expected = IndependentWarp(m_still, dlg->Corners(), 640, 320);
  EXPECT_TRUE(WaitFor([&] {
    const cv::Mat p = TakePicture(1000);
    return !p.empty() && MaxDiff(p, expected) <= 1.0;
  }));
}

TEST_F(VeldrinDlgTest, SnapshotModeFreezesPicturesAndPublishing) {
  auto dlg = OpenWith("Still A");
  ASSERT_FALSE(TakePicture().empty());
  auto* snapshot = dlg->findChild<QCheckBox*>(veldrin::kSnapshotCheckId);
  snapshot->click();
  ASSERT_TRUE(snapshot->isChecked());
  TakePicture(300);  // one picture may have been waiting already
  EXPECT_TRUE(TakePicture(600).empty());

  // Corners cannot be dragged while frozen.
  CImageWindow* input = dlg->InputWindow();
  const QPoint from = WindowPos(input, {160, 120});
  SendMouse(input, QEvent::MouseMove, from, Qt::NoButton);
  EXPECT_EQ(input->GetSelectedPoint(), -1);

  snapshot->click();
  EXPECT_FALSE(TakePicture().empty());
}

TEST_F(VeldrinDlgTest, BusyCameraIsRefusedFromTheCombo) {
  auto dlg = OpenWith("Still A");
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCameraComboId);
  combo->setCurrentIndex(0);
  emit combo->activated(0);  // the main camera itself: nothing happens
  EXPECT_TRUE(m_boxes->Texts().empty());
  EXPECT_EQ(dlg->CurrentCamera(), 0);
  combo->setCurrentIndex(1);
  emit combo->activated(1);
  EXPECT_EQ(dlg->CurrentCamera(), 1);
  EXPECT_EQ(combo->currentIndex(), 1);
  EXPECT_EQ(dlg->CameraList()->GetState(0), veldrin::kCamStateFree);
}

// A long camera name is shortened in the middle of the closed box, so its start and end both
// show; the tooltip and the open list give it whole.
TEST_F(VeldrinDlgTest, LongCameraNamesKeepBothEnds) {
  const std::string name =
      "USB 2.0 High Definition Camera with Dual Microphones and Privacy Shutter, serial 4711";
  SetCameras(name + "=" + (m_dir / "a.png").string() + ";Still B=" + (m_dir / "b.png").string());
  auto dlg = OpenWith(name);
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCameraComboId);
  const QString entry = combo->currentText();
  ASSERT_EQ(entry.toStdString(), "Cam 0 (" + name + ")");
  const QString shown = veldrin::ShownComboText(*combo);
  EXPECT_LT(shown.size(), entry.size());
  EXPECT_TRUE(shown.startsWith("Cam 0 (USB")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("4711)")) << shown.toStdString();
  EXPECT_EQ(combo->toolTip(), entry);
  EXPECT_GE(combo->view()->minimumWidth(), combo->fontMetrics().horizontalAdvance(entry));
  Screenshot(*dlg, "long-camera-name");

  combo->setCurrentIndex(1);
  emit combo->activated(1);
  EXPECT_EQ(veldrin::ShownComboText(*combo), "Cam 1 (Still B)");
  EXPECT_EQ(combo->toolTip(), "Cam 1 (Still B)");
}

// The accelerator opens the configuration; Cancel changes nothing but shows Save Plane, OK takes
// the size and divisor and writes them.
TEST_F(VeldrinDlgTest, CameraConfigurationByAcceleratorCancelledThenAccepted) {
  auto dlg = OpenWith("Still A");
  QApplication::setActiveWindow(dlg.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
  EXPECT_FALSE(dlg->findChild<QWidget*>(veldrin::kSavePlaneButtonId)->isVisible());
  bool seen = false;
  QTimer::singleShot(200, [&seen] {
    auto* config = qobject_cast<CCameraConfiguraionDlg*>(QApplication::activeModalWidget());
    seen = config != nullptr;
    if (config) {
      EXPECT_EQ(config->windowTitle(), "Camera configuration");
      EXPECT_EQ(config->findChild<QComboBox*>("1025")->count(), 10);
      EXPECT_EQ(config->findChild<QComboBox*>("1024")->currentText(), "640x480");
      config->reject();
    }
  });
  QTest::keyClick(dlg.get(), Qt::Key_R, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
  EXPECT_TRUE(seen);
  EXPECT_TRUE(dlg->findChild<QWidget*>(veldrin::kSavePlaneButtonId)->isVisible());
  EXPECT_EQ(dlg->FrameSize(), QSize(640, 480));

  ConfigureCamera(*dlg, "1280x720", 2);
  EXPECT_EQ(dlg->FrameSize(), QSize(1280, 720));
  EXPECT_EQ(dlg->FrameDivisor(), 2);
  EXPECT_EQ(Settings().ReadResX(), 1280);
  EXPECT_EQ(Settings().ReadResY(), 720);
  EXPECT_EQ(Settings().ReadFrameDivisor(), 2);
  EXPECT_TRUE(WaitFor([&] { return dlg->LastColorSize() == QSize(1280, 720); }));
}

// Settings that cannot be kept are said with their file: in the status line while the window is
// open, on the error output once it has gone.
TEST_F(VeldrinDlgTest, SettingsThatCannotBeWrittenAreSaidWithTheirFile) {
  auto dlg = OpenWith("Still A");
  const std::string file = Settings().GetPath();
  fs::remove(file);
  fs::create_directory(file);
  ConfigureCamera(*dlg, "640x480", 2);
  EXPECT_TRUE(dlg->StatusText().contains(QString::fromStdString(file)))
      << dlg->StatusText().toStdString();
  EXPECT_EQ(dlg->FrameDivisor(), 2);
  EXPECT_FALSE(dlg->IsEnded());
  ::testing::internal::CaptureStderr();
  dlg.reset();
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(file), std::string::npos);
}

// The right-hand controls are anchored on resizing, the window cannot shrink below its first
// size (which fits a 1024 x 768 screen), and both pictures stay wholly visible at every size.
TEST_F(VeldrinDlgTest, ResizingAnchorsTheRightHandControlsAndKeepsThePicturesVisible) {
  auto dlg = OpenWith("Still A");
  const QSize initial = dlg->size();
  EXPECT_EQ(dlg->minimumSize(), initial);
  EXPECT_LE(initial.width(), 1000);
  EXPECT_LE(initial.height(), 700);
  auto* camera = dlg->findChild<QWidget*>(veldrin::kCameraComboId);
  auto* snapshot = dlg->findChild<QWidget*>(veldrin::kSnapshotCheckId);
  auto* output = dlg->findChild<QWidget*>(veldrin::kOutputWindowId);
  const QRect camera0 = camera->geometry();
  const QRect snapshot0 = snapshot->geometry();
  const QRect output0 = output->geometry();
  const QRect input0 = dlg->InputWindow()->geometry();

  dlg->resize(initial.width() + 400, initial.height() + 200);
  QCoreApplication::processEvents();
  EXPECT_EQ(camera->x(), camera0.x() + 300);          // moves 75 %
  EXPECT_EQ(camera->width(), camera0.width() + 100);  // grows 25 %
  EXPECT_EQ(camera->y(), camera0.y());                // nothing moves down
  EXPECT_EQ(snapshot->x(), snapshot0.x() + 300);      // with the input picture's right edge
  EXPECT_EQ(output->height(), output0.height() + 200);
  EXPECT_EQ(dlg->InputWindow()->width(), input0.width() + 300);
  EXPECT_EQ(dlg->InputWindow()->height(), input0.height() + 200);

  for (const QSize size : {initial, QSize(1400, 900), QSize(1000, 700)}) {
    dlg->resize(size);
    QCoreApplication::processEvents();
    for (const char* id :
         {veldrin::kInputWindowId, veldrin::kOutputWindowId, veldrin::kStatusLineId,
          veldrin::kCalibrationComboId, veldrin::kCameraComboId}) {
      EXPECT_TRUE(dlg->rect().contains(dlg->findChild<QWidget*>(id)->geometry()))
          << id << " at " << size.width() << "x" << size.height();
    }
    EXPECT_LE(output->geometry().bottom(), dlg->StatusLine()->geometry().top());
  }
}

TEST_F(VeldrinDlgTest, SavePlaneWritesTheCornersAndLeavingAutoCalibrationRestoresThem) {
  auto dlg = OpenWith("Still A");
  const std::vector<cv::Point2f> saved{{100, 50}, {540, 50}, {540, 430}, {100, 430}};
  dlg->InputWindow()->SetPoints(saved);
  dlg->SavePlane();
  EXPECT_EQ(ReadFileBytes(m_dir / "2DPlane.pt3"), LEFloatBytes(saved));
  EXPECT_NE(dlg->Status().Notice().find("Plane saved: " + (m_dir / "2DPlane.pt3").string()),
            std::string::npos)
      << dlg->Status().Notice();

  // The button lies clear of the buttons beside it, with room for its label.
  auto* button = dlg->findChild<QPushButton*>(veldrin::kSavePlaneButtonId);
  using namespace veldrin;
  for (const char* other : {kFindSheetButtonId, kCheckAccuracyButtonId, kQuadWarningLabelId,
                            kMediaWidthLabelId, kMediaHeightLabelId}) {
    EXPECT_FALSE(button->geometry().intersects(dlg->findChild<QWidget*>(other)->geometry()))
        << other;
  }
  EXPECT_GE(button->width(), button->sizeHint().width());
  EXPECT_GE(button->height(), button->fontMetrics().height());

  dlg->InputWindow()->SetPoints({{1, 1}, {2, 1}, {2, 2}, {1, 2}});
  auto* autoCalibration = dlg->findChild<QCheckBox*>(veldrin::kAutoCalibrationCheckId);
  autoCalibration->setChecked(true);
  autoCalibration->click();  // cleared: the saved plane corners come back
  EXPECT_EQ(dlg->Corners(), saved);
  EXPECT_EQ(dlg->findChild<QLabel*>(veldrin::kPoint2LabelId)->text(), "P.2 = (540.0, 50.0)");
}

TEST_F(VeldrinDlgTest, DepthCameraIsListedAs3DAndOpensAsAnOrdinaryCamera) {
  SetCameras("Intel RealSense D435 RGB=" + (m_dir / "a.png").string());
  auto dlg = OpenWith("Intel RealSense D435 RGB");
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCameraComboId)->itemText(0).toStdString(),
            "Cam 0 (Intel RealSense D435 RGB) (3D)");
  EXPECT_EQ(dlg->CurrentCamera(), 0);
  EXPECT_FALSE(TakePicture().empty());
}

TEST_F(VeldrinDlgTest, ContextMenuOffersTheAboutBox) {
  auto dlg = OpenWith("Still A");
  QString item;
  QString aboutTitle;
  QTimer::singleShot(100, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu || menu->actions().isEmpty()) return;
    item = menu->actions().first()->text();
    QTimer::singleShot(100, [&] {
      if (QWidget* about = QApplication::activeModalWidget()) {
        aboutTitle = about->windowTitle();
        about->close();
      }
    });
    menu->actions().first()->trigger();
    menu->close();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dlg->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(dlg.get(), &event);
  QCoreApplication::processEvents();
  EXPECT_EQ(item.toStdString(), Text(veldrin::IDS_ABOUTBOX));
  EXPECT_EQ(aboutTitle, "About Tabulo");
}

// A visible button beside the camera list offers the commands that are otherwise only a
// shortcut or a right-click away; the camera list has room for whole names.
TEST_F(VeldrinDlgTest, MenuButtonOffersCameraConfigurationLensAndAbout) {
  SetCameras("Still A=" + (m_dir / "a.png").string() +
             ";USB 2.0 HD Camera=" + (m_dir / "b.png").string());
  auto dlg = OpenWith("USB 2.0 HD Camera");
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCameraComboId);
  const QFontMetrics fm(combo->font());
  EXPECT_GE(combo->width(), fm.horizontalAdvance(combo->currentText()) + 2 * fm.averageCharWidth())
      << combo->currentText().toStdString();
  auto* button = dlg->findChild<QToolButton*>(veldrin::kCameraMenuButtonId);
  ASSERT_NE(button, nullptr);
  EXPECT_TRUE(button->isVisible());
  EXPECT_FALSE(button->geometry().intersects(combo->geometry()));
  QMenu* menu = button->menu();
  ASSERT_NE(menu, nullptr);
  emit menu->aboutToShow();
  QStringList items;
  for (QAction* action : menu->actions()) items << action->text();
  EXPECT_EQ(items, (QStringList{"Camera configuration", QStringLiteral("Lens\u2026"),
                                QString::fromStdString(Text(veldrin::IDS_ABOUTBOX))}));
  bool configuration = false;
  QTimer::singleShot(100, [&] {
    auto* dialog = qobject_cast<CCameraConfiguraionDlg*>(QApplication::activeModalWidget());
    configuration = dialog != nullptr;
    if (dialog) dialog->reject();
  });
  menu->actions()[0]->trigger();
  EXPECT_TRUE(configuration);
}

TEST_F(VeldrinDlgTest, ClickWithFourCornersAddsNoneButRebuildsTheOutputRectangle) {
  auto dlg = OpenWith("Still A");
  ASSERT_FALSE(TakePicture().empty());  // the media size has been read once
  SendMouse(dlg->InputWindow(), QEvent::MouseButtonPress, QPoint(3, 3), Qt::LeftButton);
  SendMouse(dlg->InputWindow(), QEvent::MouseButtonRelease, QPoint(3, 3), Qt::NoButton);
  EXPECT_EQ(dlg->Corners().size(), 4u);
  EXPECT_EQ(dlg->Corners()[0], cv::Point2f(160, 120));
  // The block reads 640 high and 480 wide as the tool left it at attachment: portrait output.
  const std::vector<cv::Point2f> dst{{0, 0}, {360, 0}, {360, 480}, {0, 480}};
  EXPECT_EQ(dlg->DstCorners(), dst);
}

// Frames of another size than asked for are what the windows, corners and output follow.
TEST_F(VeldrinDlgTest, WindowsFollowTheDeliveredSizeNotTheConfiguredOne) {
  StartHost(1000, 500);
  cv::imwrite((m_dir / "wide.png").string(), MakeStill(1280, 720, 2));
  SetCameras("Wide=" + (m_dir / "wide.png").string());
  ASSERT_TRUE(Settings().WriteCamera("Wide"));
  ASSERT_TRUE(Settings().WriteResX(1000));  // not a size this camera offers: it gives its own
  ASSERT_TRUE(Settings().WriteResY(700));
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->CurrentCamera(), 0);
  EXPECT_EQ(dlg->Corners(),
            (std::vector<cv::Point2f>{{320, 180}, {960, 180}, {960, 540}, {320, 540}}));
  EXPECT_EQ(m_host->SetMediaSize(500, 1000), 1);
  ASSERT_FALSE(TakePictureOfSize(1280, 640).empty());
  // A corner can be dragged to the bottom-right of the whole picture.
  CImageWindow* input = dlg->InputWindow();
  ASSERT_TRUE(WaitForPaintedPlacement(input, {1280, 720}));
  const auto place = veldrin::PlaceImage(input->width(), input->height(), 1280, 720);
  ASSERT_TRUE(place);
  const QPoint p3(static_cast<int>(960 / place->scale) + place->xOffset,
                  static_cast<int>(540 / place->scale));
  SendMouse(input, QEvent::MouseMove, p3, Qt::NoButton);
  ASSERT_EQ(input->GetSelectedPoint(), 2);
  SendMouse(input, QEvent::MouseButtonPress, p3, Qt::LeftButton);
  SendMouse(input, QEvent::MouseMove, QPoint(input->width() - 1, input->height() - 1),
            Qt::LeftButton);
  SendMouse(input, QEvent::MouseButtonRelease, p3, Qt::NoButton);
  EXPECT_GT(dlg->Corners()[2].x, 1270);
  EXPECT_GT(dlg->Corners()[2].y, 710);
}

// A live change of resolution keeps the outline on the same spot of the table and the output
// in the media's aspect.
TEST_F(VeldrinDlgTest, LiveResolutionChangeKeepsTheOutlineAndTheMediaAspect) {
  const std::vector<cv::Point2f> corners{{100, 60}, {540, 60}, {540, 420}, {100, 420}};
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(m_dir.string() + "/", "Sheet", corners));
  ASSERT_TRUE(Settings().WriteCalibName("Sheet"));
  auto dlg = OpenWith("Still A", 297, 210);
  EXPECT_EQ(m_host->SetMediaSize(210, 297), 1);
  ASSERT_FALSE(TakePictureOfSize(640, 452).empty());
  ConfigureCamera(*dlg, "1280x720");
  const std::vector<cv::Point2f> scaled{{200, 90}, {1080, 90}, {1080, 630}, {200, 630}};
  EXPECT_EQ(dlg->Corners(), scaled);
  EXPECT_FALSE(TakePictureOfSize(1280, 905).empty());
  // Scaling is not an edit of the operator's.
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentText(), "Sheet");
  dlg.reset();

  // At the next start (now 1280 x 720) a calibration made at 640 x 480 fits; one beyond the
  // picture is reported.
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(m_dir.string() + "/", "Sheet",
                                                  {{10, 10}, {1500, 10}, {1500, 900}, {10, 900}}));
  dlg = Open(m_name);
  dlg->StatusLine()->Refresh();
  EXPECT_NE(dlg->StatusLine()->text().toStdString().find("lie outside the camera picture"),
            std::string::npos)
      << dlg->StatusLine()->text().toStdString();
}

// Escape does nothing; closing with unsaved corners asks, and No keeps the window.
TEST_F(VeldrinDlgTest, EscapeKeepsTheWindowAndClosingAsksForUnsavedCorners) {
  auto dlg = OpenWith("Still A");
  QApplication::setActiveWindow(dlg.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
  QTest::keyClick(dlg.get(), Qt::Key_Escape);
  EXPECT_FALSE(dlg->IsEnded());
  EXPECT_TRUE(dlg->isVisible());

  dlg->InputWindow()->SetPoints({{100, 100}, {500, 100}, {500, 400}, {100, 400}});
  dlg->close();  // close box, Alt+F4
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Texts()[0], "Discard the unsaved corner changes?");
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_YESNO | MB_DEFBUTTON2);
  EXPECT_FALSE(dlg->IsEnded());
  EXPECT_TRUE(dlg->isVisible());

  m_boxes->QueueAnswer(IDYES);
  dlg->close();
  EXPECT_TRUE(dlg->IsEnded());

  // Unchanged corners close without asking.
  dlg.reset();
  dlg = OpenWith("Still A");
  dlg->close();
  EXPECT_TRUE(dlg->IsEnded());
  EXPECT_EQ(m_boxes->Texts().size(), 2u);  // the two boxes above only
}

// The status line tells host, camera and pictures; a camera that stops is shown there within
// two seconds and its picture greyed.
TEST_F(VeldrinDlgTest, StatusLineShowsHostCameraAndACameraThatStops) {
  auto dlg = OpenWith("Still B", 297, 210);
  EXPECT_EQ(m_host->SetMediaSize(210, 297), 1);  // the tool wrote its own values when it attached
  auto* line = dlg->findChild<QLabel*>(veldrin::kStatusLineId);
  ASSERT_NE(line, nullptr);
  ASSERT_FALSE(TakePicture().empty());
  ASSERT_FALSE(TakePicture().empty());
  const auto text = [&] { return line->text().toStdString(); };
  // The line is refreshed twice a second.
  EXPECT_TRUE(WaitFor([&] {
    return text().find("297 x 210 mm") != std::string::npos &&
           text().find(" fps") != std::string::npos;
  }));
  EXPECT_NE(text().find(m_name), std::string::npos) << text();
  EXPECT_NE(text().find(m_dir.string()), std::string::npos) << text();
  EXPECT_NE(text().find("Cam 1 (Still B), 640 x 480"), std::string::npos) << text();
  EXPECT_EQ(dlg->InputWindow()->graphicsEffect(), nullptr);

  // The camera stops delivering (unplugged): the engine is stopped behind the window's back.
  INFO_CAM_DATA main;
  ASSERT_TRUE(dlg->CameraList()->GetCameraAt(1, main));
  main.pEngine->Stop();
  EXPECT_TRUE(WaitFor([&] { return text().find("no frames") != std::string::npos; }, 2800))
      << text();
  EXPECT_NE(dlg->InputWindow()->graphicsEffect(), nullptr);

  ASSERT_EQ(main.pEngine->Start(), 1);
  EXPECT_TRUE(WaitFor([&] { return text().find("no frames") == std::string::npos; }, 2000));
  EXPECT_EQ(dlg->InputWindow()->graphicsEffect(), nullptr);

  // At the smallest window a long problem and a notice wrap within the line: nothing is cut.
  dlg->resize(dlg->minimumSize());
  QCoreApplication::processEvents();
  dlg->Status().ReportProblem(
      "The camera has moved since \"Demo sheet\" was saved: check the "
      "corners.");
  dlg->Status().ReportNotice("Accuracy: scale error +0.01 %, RMS 0.12 mm, largest 0.30 mm.");
  dlg->StatusLine()->Refresh();
  EXPECT_TRUE(line->wordWrap());
  EXPECT_LE(line->heightForWidth(line->width()), line->height()) << text();
  // The outline warning too.
  auto* warning = dlg->findChild<QLabel*>(veldrin::kQuadWarningLabelId);
  dlg->InputWindow()->SetPoints({{100, 100}, {500, 400}, {500, 100}, {100, 400}});
  ASSERT_FALSE(warning->text().isEmpty());
  EXPECT_LE(warning->heightForWidth(warning->width()), warning->height());
  Screenshot(*dlg, "status-wrapped");
}

TEST_F(VeldrinDlgTest, UnavailableCamerasAreGreyedAndTabFollowsTheVisualOrder) {
  SetCameras("Still A=" + (m_dir / "a.png").string() + ";Gone=" + (m_dir / "missing.png").string());
  auto dlg = OpenWith("Still A");
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCameraComboId);
  auto* model = qobject_cast<QStandardItemModel*>(combo->model());
  ASSERT_NE(model, nullptr);
  EXPECT_TRUE(model->item(0)->isEnabled());
  EXPECT_FALSE(model->item(1)->isEnabled());
  EXPECT_EQ(combo->itemText(1), "Cam 1 (Gone)");

  // From the camera combo, Tab goes down the right-hand column.
  QApplication::setActiveWindow(dlg.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
  combo->setFocus();
  QStringList order;
  for (int i = 0; i < 6; ++i) {
    QWidget* next = combo->window()->focusWidget()->nextInFocusChain();
    while (next &&
           (!next->isVisible() || !next->isEnabled() || !(next->focusPolicy() & Qt::TabFocus)))
      next = next->nextInFocusChain();
    ASSERT_NE(next, nullptr);
    next->setFocus();
    order << next->objectName();
  }
  // Remove and the secure points are disabled here, so Tab passes them by.
  using namespace veldrin;
  EXPECT_EQ(order, (QStringList{kCameraMenuButtonId, kCalibrationComboId, kSaveCalibrationButtonId,
                                kFindSheetButtonId, kCheckAccuracyButtonId, kCameraTabsId}));
}

#ifdef VELDRIN_TEST_HAVE_QRENCODE
// A code on the sheet is announced once, not after every OK.
TEST_F(VeldrinDlgTest, CodeInViewIsAnnouncedOnce) {
  cv::imwrite((m_dir / "qr.png").string(), veldrin::RenderQRScene({640, 480}, "sheet 42"));
  SetCameras("Coded=" + (m_dir / "qr.png").string());
  auto dlg = OpenWith("Coded");
  ASSERT_TRUE(m_boxes->WaitForCalls(1, std::chrono::seconds(5)));
  EXPECT_TRUE(NothingHappensFor(
      1500ms, [&] { return m_boxes->Calls().size() > 1; }, ProcessEvents));
  const auto texts = m_boxes->Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "sheet 42");
}
#endif

// A frame size no camera has (here 21 GB of output) is not used: the default is, and the status
// line says why.
TEST_F(VeldrinDlgTest, UnusableFrameSizeFallsBackAndIsReportedInTheStatusLine) {
  ASSERT_TRUE(Settings().WriteResX(100000));
  ASSERT_TRUE(Settings().WriteResY(100000));
  auto dlg = OpenWith("Still A", 1000, 700);
  ASSERT_FALSE(dlg->IsEnded());
  EXPECT_EQ(dlg->FrameSize(), QSize(640, 480));
  dlg->StatusLine()->Refresh();
  EXPECT_TRUE(dlg->StatusLine()->text().contains("100000")) << dlg->StatusText().toStdString();
  EXPECT_FALSE(TakePicture().empty());  // and the tool works on
}

// The picture "<name>.bmp" cannot be a file name: refused at once, before anything is touched,
// and without a box that would wait for nobody.
TEST_F(VeldrinDlgTest, InstanceNameThatCannotNameThePictureIsRefused) {
  m_name = std::string(252, 'n');
  StartHost(1000, 700);
  auto dlg = Open(m_name);
  EXPECT_TRUE(dlg->IsEnded());
  EXPECT_EQ(dlg->EndResult(), -1);
  EXPECT_TRUE(m_boxes->Calls().empty());
  EXPECT_EQ(m_host->GetOpenCount(), 0u);
  dlg.reset();
  EXPECT_FALSE(fs::exists(m_dir / "CamDrv.ini")) << "nothing is written";
}

// A second tool on an instance another tool serves ends at once: no box, no camera, no change to
// the block's counters, nothing written in the folder.
TEST_F(VeldrinDlgTest, SecondToolOnAnInstanceEndsWithoutTouchingAnything) {
  StartHost(1000, 700);
  CSharedStatusBlock first(m_name, 0);
  ASSERT_TRUE(first.IsOpen());
  auto dlg = Open(m_name);
  EXPECT_TRUE(dlg->IsEnded());
  EXPECT_EQ(dlg->EndResult(), -1);
  EXPECT_EQ(dlg->CurrentCamera(), -1);
  EXPECT_TRUE(m_boxes->Calls().empty());
  EXPECT_EQ(m_host->GetOpenCount(), 1u);
  dlg.reset();
  EXPECT_FALSE(fs::exists(m_dir / "CamDrv.ini"));
}

#ifdef VELDRIN_TEST_HAVE_QRENCODE
// A decoded code's box is open when the host goes: nobody is left to close it, so the tool does,
// and ends.
TEST_F(VeldrinDlgTest, HostLeavingClosesAnOpenCodeBoxAndEndsTheTool) {
  const cv::Mat scene = veldrin::RenderQRScene(cv::Size(640, 480), "SHEET 7");
  cv::imwrite((m_dir / "qr.png").string(), scene);
  SetCameras("Code=" + (m_dir / "qr.png").string());
  StartHost(1000, 700);
  ASSERT_TRUE(Settings().WriteCamera("Code"));
  m_boxes->SetHold(true);
  auto dlg = Open(m_name);
  ASSERT_TRUE(WaitFor([&] { return m_boxes->OpenCount() == 1; }, 20000));
  EXPECT_EQ(m_boxes->Texts().back(), "SHEET 7");

  m_host.reset();
  ASSERT_TRUE(WaitFor([&] { return dlg->IsEnded(); }));
  EXPECT_EQ(dlg->EndResult(), -1);
  EXPECT_TRUE(WaitFor([&] { return m_boxes->OpenCount() == 0; }));
  m_boxes->SetHold(false);
}
#endif

}  // namespace
}  // namespace veldrin_test
