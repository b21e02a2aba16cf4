// The depth side in the main window with the simulated depth camera of the table scene: the
// closed loop from "Save Plane" on the empty table to the box's height, auto calibration and
// secure points in the published picture; switching cameras; depth cameras that fail.

#include "workstation/windows/depth_session.h"

#include <QLineEdit>

#include "depth/plane_files.h"
#include "depth/view/depth_camera_dialog.h"
#include "video/realsense_video_engine.h"
#include "video/scene_params.h"
#include "video/sim/failing_depth_device_test_fixture.h"
#include "video/sim/simulated_depth_device.h"
#include "workstation/camera_settings.h"
#include "workstation/height_true_warp.h"
#include "workstation/windows/dialog_test_fixture.h"

namespace veldrin_test {
namespace {

constexpr int kDepthCamera = 1;  // "Table RealSense" in the list below

const SSceneBox kBox50{{110, 90, 50}, {10, 0}, 15};  // size, centre (mm), turn (degrees)

// The simulated camera of the table scene as the scene file describes it, with a scripted end.
std::unique_ptr<CDepthDevice> FailingDevice(int framesBeforeLoss, bool starve) {
  STableSceneParams params;
  std::string error;
  EXPECT_TRUE(veldrin::CurrentTableSceneParams(params, error));
  return std::make_unique<CFailingDepthDevice>(framesBeforeLoss, starve, params);
}

int TopLevel3DViews() {
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) n += w->objectName() == "134";
  return n;
}

class DepthSessionTest : public VeldrinDlgTest {
 protected:
  void SetUp() override {
    VeldrinDlgTest::SetUp();
    SetCameras("Still A=" + (m_dir / "a.png").string() + ";Table RealSense=scene:table");
    veldrin::SetLiveSceneBox(std::nullopt);
    StartHost(297, 210);
    ASSERT_TRUE(Settings().WriteCamera("Still A"));
  }
  void TearDown() override {
    CDepthSession::SetDeviceFactoryForTests({});
    veldrin::ResetLiveScene();
    VeldrinDlgTest::TearDown();
  }

  // Runs the event loop until the depth side has measured `frames` more frames (generously: the
  // sanitizer builds measure a few frames per second).
  static bool WaitFrames(CVeldrinDlg& dlg, int frames) {
    CDepthSession* session = dlg.DepthSession();
    if (!session) return false;
    const std::uint64_t target = session->FramesMeasured() + static_cast<std::uint64_t>(frames);
    return WaitFor([&] { return session->FramesMeasured() >= target; }, frames * 500 + 10000);
  }
  static QWidget* Child(CVeldrinDlg& dlg, const char* id) {
    return dlg.findChild<QWidget*>(QLatin1String(id));
  }
  static QCheckBox* Check(CVeldrinDlg& dlg, const char* id) {
    return dlg.findChild<QCheckBox*>(QLatin1String(id));
  }
  std::string Folder() const { return m_dir.string() + "/"; }

  // Pixels of the published picture in the secure-point colour (blurred a little by the warp).
  static std::vector<cv::Point> Marked(const cv::Mat& picture) {
    std::vector<cv::Point> marked;
    for (int y = 0; y < picture.rows; ++y)
      for (int x = 0; x < picture.cols; ++x) {
        const cv::Vec3b& p = picture.at<cv::Vec3b>(y, x);
        if (std::abs(p[0] - 25) < 30 && p[1] > 225 && std::abs(p[2] - 125) < 30)
          marked.emplace_back(x, y);
      }
    return marked;
  }
};

TEST_F(DepthSessionTest, ClosedLoopFromTheEmptyTableToTheBoxTop) {
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_NE(dlg->DepthSession(), nullptr);
  CDepthCameraDialog* view = dlg->DepthSession()->Dialog();
  ASSERT_TRUE(view->isVisible());
  EXPECT_TRUE(Child(*dlg, veldrin::kAutoCalibrationCheckId)->isVisible());
  EXPECT_FALSE(Child(*dlg, veldrin::kCalibrationComboId)->isVisible());
  EXPECT_TRUE(Check(*dlg, veldrin::kSecurePointsCheckId)->isEnabled());

  // The empty table, once the averaging has forgotten its start: "Save Plane" stores both planes.
  ASSERT_TRUE(WaitFrames(*dlg, 150));
  dlg->SavePlane();
  const std::vector<cv::Point2f> saved = dlg->Corners();
  Plane3D plane;
  ASSERT_TRUE(veldrin::ReadPlane3D(veldrin::Plane3DPath(Folder()), plane));
  EXPECT_EQ(ReadFileBytes(veldrin::Plane2DPath(Folder())), LEFloatBytes(saved));
  EXPECT_EQ(view->IsPlaneLoaded(), 1);
  Screenshot(*view, "depth-empty-table");

  // A 50 mm box: measured against the stored plane.
  veldrin::SetLiveSceneBox(kBox50);
  ASSERT_TRUE(WaitFrames(*dlg, 150));
  auto* height = view->findChild<QLineEdit*>("1021");
  ASSERT_TRUE(WaitFor([&] { return height->text().endsWith(" mm"); }));
  EXPECT_NEAR(height->text().chopped(3).toInt(), 50, 2) << height->text().toStdString();
  const cv::Mat before = TakePicture();

  // Auto calibration: the corners go to where the colour camera sees the points above the saved
  // corners' table points, at the top's height.
  Check(*dlg, veldrin::kAutoCalibrationCheckId)->click();
  ASSERT_TRUE(WaitFrames(*dlg, 3));
  const float h = dlg->DepthSession()->MaxHeight();
  const std::vector<cv::Point2f> raised = dlg->Corners();
  STableSceneParams params;
  std::string error;
  ASSERT_TRUE(veldrin::CurrentTableSceneParams(params, error));
  const CSceneWorld world(params);
  const SCameraIntrinsics colour = world.ColorIntrinsics(cv::Size(640, 480));
  for (std::size_t i = 0; i < 4; ++i) {
    const auto onSight = [&](float depth) {
      return world.DepthToTable(veldrin::TransformPointToPoint(
          world.ColorToDepth(), veldrin::DeprojectPixelToPoint(colour, saved[i], depth)));
    };
    const cv::Point3d a = onSight(0.4f), b = onSight(0.9f);
    cv::Point3d top = a + (a.z / (a.z - b.z)) * (b - a);
    top.z += static_cast<double>(h) * 1000.0;
    const cv::Point2f truth = world.TableToColorPixel(top, cv::Size(640, 480));
    EXPECT_LE(std::abs(raised[i].x - truth.x), 1.0f) << i;
    EXPECT_LE(std::abs(raised[i].y - truth.y), 1.0f) << i;
  }
  // The published picture follows the moved corners.
  TakePicture();
  const cv::Mat after = TakePicture();
  ASSERT_FALSE(after.empty());
  const cv::Mat expected =
      IndependentWarp(dlg->LastFrame(), dlg->Corners(), after.cols, after.rows);
  const double nearNew = cv::norm(after, expected, cv::NORM_L1) / after.total();
  const double nearOld = cv::norm(before, expected, cv::NORM_L1) / before.total();
  EXPECT_LT(nearNew * 3, nearOld);

  // Cleared: the saved corners come back, and stay.
  Check(*dlg, veldrin::kAutoCalibrationCheckId)->click();
  EXPECT_EQ(dlg->Corners(), saved);
  ASSERT_TRUE(WaitFrames(*dlg, 3));
  EXPECT_EQ(dlg->Corners(), saved);

  // Secure points: on the box top in the published picture, not on the table.
  // A frame already past the marking when the box was checked may still be published first
  // (on a slow machine, more than one).
  Check(*dlg, veldrin::kSecurePointsCheckId)->click();
  std::vector<cv::Point> points;
  for (int i = 0; i < 5 && points.size() <= 300u; ++i) points = Marked(TakePicture());
  Screenshot(*dlg, "depth-main-window");
  Screenshot(*view, "depth-3d-view");
  ASSERT_GT(points.size(), 300u);
  const std::vector<cv::Point2f> dst = dlg->DstCorners();
  const cv::Mat homography = cv::getPerspectiveTransform(saved, dst);
  std::vector<cv::Point2f> top;
  const double a = kBox50.rotationDeg * CV_PI / 180, c = std::cos(a), s = std::sin(a);
  for (const auto& [lx, ly] :
       {std::pair{-55.0, -45.0}, {55.0, -45.0}, {55.0, 45.0}, {-55.0, 45.0}}) {
    top.push_back(world.TableToColorPixel(cv::Point3d(10 + c * lx - s * ly, s * lx + c * ly, 50),
                                          cv::Size(640, 480)));
  }
  std::vector<cv::Point2f> topOut;
  cv::perspectiveTransform(top, topOut, homography);
  std::size_t onTop = 0;
  for (const cv::Point& p : points)
    onTop += cv::pointPolygonTest(topOut, cv::Point2f(p), true) > -3;
  EXPECT_GT(static_cast<double>(onTop), 0.97 * static_cast<double>(points.size()));

  // The corners came from the plane files and auto calibration: closing asks nothing.
  dlg->close();
  EXPECT_TRUE(dlg->IsEnded());
  EXPECT_TRUE(m_boxes->Texts().empty());
}

// The height-true picture, exclusive with auto calibration and remembered; the objects on the
// media reach the host beside the picture.
TEST_F(DepthSessionTest, HeightTruePictureAndTheObjectsForTheHost) {
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_NE(dlg->DepthSession(), nullptr);
  auto* heightTrue = Check(*dlg, veldrin::kHeightTrueCheckId);
  EXPECT_TRUE(heightTrue->isVisible());
  ASSERT_TRUE(WaitFrames(*dlg, 150));
  dlg->SavePlane();
  const std::vector<cv::Point2f> saved = dlg->Corners();
  veldrin::SetLiveSceneBox(kBox50);
  ASSERT_TRUE(WaitFrames(*dlg, 150));

  Check(*dlg, veldrin::kAutoCalibrationCheckId)->click();
  ASSERT_TRUE(WaitFrames(*dlg, 3));
  EXPECT_NE(dlg->Corners(), saved);
  heightTrue->click();  // auto calibration goes, and the corners are back on the table
  EXPECT_FALSE(Check(*dlg, veldrin::kAutoCalibrationCheckId)->isChecked());
  EXPECT_EQ(dlg->Corners(), saved);
  EXPECT_TRUE(Settings().ReadHeightTrue());
  CHeightTrueWarp* warp = dlg->DepthSession()->HeightTrue();
  ASSERT_TRUE(WaitFor([&] { return warp->TableBuilds() > 0; }, 10000));

  // The box hides some of the table from the colour camera: the published picture shows it in
  // the fill colour, and the objects file beside it holds the box at its height.
  cv::Mat picture;
  int filled = 0;
  for (int i = 0; i < 5 && filled < 100; ++i) {
    picture = TakePicture();
    ASSERT_FALSE(picture.empty());
    cv::Mat fill;
    cv::inRange(picture, cv::Scalar(255, 0, 255), cv::Scalar(255, 0, 255), fill);
    filled = cv::countNonZero(fill);
  }
  EXPECT_GE(filled, 100);
  std::uint64_t frame = 0;
  std::vector<SMediaObject> objects;
  std::string error;
  ASSERT_TRUE(veldrin::ReadObjectsFile(Folder() + veldrin::kObjectsFileName, frame, objects, error))
      << error;
  EXPECT_GE(frame, 1u);
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_NEAR(objects[0].heightMm, 50, 2);
  Screenshot(*dlg, "depth-height-true");

  // An objects file that cannot be written (a directory in its place) holds no picture back and
  // is named in the status line.
  const std::string objectsFile = Folder() + veldrin::kObjectsFileName;
  fs::remove(objectsFile);
  fs::create_directory(objectsFile);
  EXPECT_FALSE(TakePicture().empty());
  EXPECT_TRUE(WaitFor([&] {
    return dlg->StatusText().contains(QString::fromStdString(objectsFile));
  })) << dlg->StatusText().toStdString();
  fs::remove(objectsFile);

  // Auto calibration back on takes the height-true picture off.
  Check(*dlg, veldrin::kAutoCalibrationCheckId)->click();
  EXPECT_FALSE(heightTrue->isChecked());
  EXPECT_FALSE(Settings().ReadHeightTrue());
  dlg->close();
}

TEST_F(DepthSessionTest, SwitchingBackAndForthLeavesNothingBehind) {
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->CurrentCamera(), 0);
  // Libraries keep worker pools they start on first use (the GL driver, the image library), so
  // the count is taken after one round trip; ten more must add nothing.
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_EQ(dlg->SwitchCamera(0), 1);
  ASSERT_FALSE(TakePicture().empty());
  // Threads the round trip started may still be ending: the count is taken once it holds.
  int threads = ThreadCount();
  for (int i = 0; i < 50 && !NothingHappensFor(
                                200ms, [&] { return ThreadCount() != threads; }, ProcessEvents);
       ++i)
    threads = ThreadCount();
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
    ASSERT_NE(dlg->DepthSession(), nullptr);
    EXPECT_EQ(TopLevel3DViews(), 1);
    EXPECT_TRUE(Child(*dlg, veldrin::kAutoCalibrationCheckId)->isVisible());
    ASSERT_EQ(dlg->SwitchCamera(0), 1);
    EXPECT_EQ(dlg->DepthSession(), nullptr);
    EXPECT_FALSE(Child(*dlg, veldrin::kAutoCalibrationCheckId)->isVisible());
    EXPECT_TRUE(Child(*dlg, veldrin::kCalibrationComboId)->isVisible());
    EXPECT_FALSE(Check(*dlg, veldrin::kSecurePointsCheckId)->isEnabled());
  }
  QCoreApplication::processEvents();
  EXPECT_EQ(TopLevel3DViews(), 0);
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threads; }))
      << ThreadCount() << " > " << threads;
  // The webcam goes on.
  EXPECT_FALSE(TakePicture().empty());
  EXPECT_TRUE(m_boxes->Texts().empty());
}

TEST_F(DepthSessionTest, ADepthCameraThatDoesNotStartLeavesTheColourPicture) {
  CDepthSession::SetDeviceFactoryForTests([]() -> std::unique_ptr<CDepthDevice> {
    throw CNoDepthDeviceError("no RealSense device connected");
  });
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  EXPECT_EQ(dlg->DepthSession(), nullptr);
  EXPECT_TRUE(m_boxes->Texts().empty());  // a box would hold the colour side until answered
  EXPECT_TRUE(dlg->StatusText().contains("no RealSense device connected"));
  EXPECT_EQ(TopLevel3DViews(), 0);
  EXPECT_FALSE(Child(*dlg, veldrin::kAutoCalibrationCheckId)->isVisible());
  EXPECT_TRUE(Child(*dlg, veldrin::kCalibrationComboId)->isVisible());
  EXPECT_EQ(dlg->CurrentCamera(), kDepthCamera);
  EXPECT_FALSE(TakePicture().empty());
}

// A depth camera that does not stream the usual 640 x 480 streams what it does.
TEST_F(DepthSessionTest, ADepthCameraOfAnotherSizeStreamsThatSize) {
  veldrin_test::WriteFileBytes(m_dir / "scene.json", R"({"depth": {"size": [320, 240]}})");
  ::setenv("VELDRIN_SCENE", (m_dir / "scene.json").c_str(), 1);
  struct SUnsetScene {
    ~SUnsetScene() { ::unsetenv("VELDRIN_SCENE"); }
  } unsetScene;
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_NE(dlg->DepthSession(), nullptr) << dlg->StatusText().toStdString();
  EXPECT_TRUE(WaitFrames(*dlg, 5));
  EXPECT_TRUE(m_boxes->Texts().empty());
}

TEST_F(DepthSessionTest, TheCameraLostWhileStreamingIsSaidOnceAndColourGoesOn) {
  int sessions = 0;
  CDepthSession::SetDeviceFactoryForTests([&sessions]() -> std::unique_ptr<CDepthDevice> {
    // The set-up's own session works; the stream's is lost after a second.
    return FailingDevice(sessions++ == 0 ? -1 : 30, false);
  });
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_NE(dlg->DepthSession(), nullptr);
  ASSERT_TRUE(WaitFor([&] { return dlg->DepthSession() == nullptr; }, 10000));
  EXPECT_EQ(m_boxes->Texts(), std::vector<std::string>{"the depth camera was unplugged"});
  EXPECT_TRUE(dlg->StatusText().contains("the depth camera was unplugged"))
      << dlg->StatusText().toStdString();
  EXPECT_EQ(TopLevel3DViews(), 0);
  EXPECT_FALSE(Child(*dlg, veldrin::kAutoCalibrationCheckId)->isVisible());
  TakePicture();
  EXPECT_FALSE(TakePicture().empty());
  EXPECT_TRUE(NothingHappensFor(
      300ms, [&] { return m_boxes->Calls().size() > 1; }, ProcessEvents));

  // To the webcam and back: the depth side starts afresh.
  CDepthSession::SetDeviceFactoryForTests({});
  ASSERT_EQ(dlg->SwitchCamera(0), 1);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_NE(dlg->DepthSession(), nullptr);
  EXPECT_TRUE(WaitFrames(*dlg, 10));
}

// A depth stream that stays silent: "Save Plane" before the first frame writes nothing and says
// so; frames handed in by hand are measured only when they have depth and the first frame's size.
TEST_F(DepthSessionTest, SavePlaneBeforeTheFirstFrameAndFramesThatAreNotMeasured) {
  int sessions = 0;
  CDepthSession::SetDeviceFactoryForTests(
      [&sessions]() -> std::unique_ptr<CDepthDevice> { return FailingDevice(-1, sessions++ > 0); });
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_NE(dlg->DepthSession(), nullptr);
  dlg->SavePlane();
  EXPECT_FALSE(fs::exists(veldrin::Plane3DPath(Folder())));
  EXPECT_FALSE(fs::exists(veldrin::Plane2DPath(Folder())));
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_NE(m_boxes->Texts()[0].find("not saved"), std::string::npos);

  ASSERT_TRUE(WaitFor([&] { return dlg->LastColorSize().width() > 0; }));
  CDepthSession& session = *dlg->DepthSession();
  CKivVideoEngineListener& listener = session;
  struct SFrame {
    SFrame(int w, int h)
        : grey(h, w, CV_8UC3, cv::Scalar::all(128)),
          meters(h, w, CV_64F, cv::Scalar(0.6)),
          cloud(static_cast<size_t>(w) * h, SVertex{{0.f, 0.f, 0.6f}}) {}
    cv::Mat grey, meters;
    std::vector<SVertex> cloud;
  } full(640, 480), small(320, 240);
  listener.OnDepthFrame(DEPTH_CAMERA_INDEX + 1, &full.grey, &full.meters, full.cloud.data());
  listener.OnDepthFrame(DEPTH_CAMERA_INDEX, &full.grey, nullptr, full.cloud.data());
  EXPECT_EQ(session.FramesMeasured(), 0u);
  listener.OnDepthFrame(DEPTH_CAMERA_INDEX, &full.grey, &full.meters, full.cloud.data());
  EXPECT_EQ(session.FramesMeasured(), 1u);
  // The measure keeps the first frame's size: a smaller one is skipped, not read past.
  listener.OnDepthFrame(DEPTH_CAMERA_INDEX, &small.grey, &small.meters, small.cloud.data());
  EXPECT_EQ(session.FramesMeasured(), 1u);
  listener.OnDepthFrame(DEPTH_CAMERA_INDEX, &full.grey, &full.meters, full.cloud.data());
  EXPECT_EQ(session.FramesMeasured(), 2u);
}

// The plane files are a pair: when the 3D one cannot be written the 2D one stays as it was, and
// the status line names the file.
TEST_F(DepthSessionTest, SavePlaneSaysWhichFileFailedAndWritesNeitherAlone) {
  const Plane2D before{{{10, 10}, {20, 10}, {20, 20}, {10, 20}}};
  ASSERT_TRUE(veldrin::WritePlane2D(veldrin::Plane2DPath(Folder()), before));
  const std::string bytes2D = ReadFileBytes(veldrin::Plane2DPath(Folder()));
  fs::create_directory(veldrin::Plane3DPath(Folder()));  // no file can be put in its place
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_TRUE(WaitFrames(*dlg, 2));
  dlg->SavePlane();
  EXPECT_EQ(ReadFileBytes(veldrin::Plane2DPath(Folder())), bytes2D);
  EXPECT_NE(dlg->StatusText().toStdString().find(veldrin::Plane3DPath(Folder()) +
                                                 " could not be written"),
            std::string::npos)
      << dlg->StatusText().toStdString();

  fs::remove(veldrin::Plane3DPath(Folder()));
  dlg->SavePlane();
  EXPECT_TRUE(dlg->StatusText().isEmpty()) << dlg->StatusText().toStdString();
  EXPECT_EQ(dlg->Status().Notice(), "Plane saved: " + veldrin::Plane3DPath(Folder()) + " and " +
                                        veldrin::Plane2DPath(Folder()) + ".");
  EXPECT_TRUE(m_boxes->Texts().empty());
}

// Started on the depth camera, the stored table plane's corners win over the calibration
// selection.
TEST_F(DepthSessionTest, AtStartTheStoredPlaneCornersWinOnADepthCamera) {
  const Plane2D plane{{{200, 150}, {440, 150}, {440, 330}, {200, 330}}};
  ASSERT_TRUE(veldrin::WritePlane2D(veldrin::Plane2DPath(Folder()), plane));
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Folder(), "Table",
                                                  {{70, 60}, {500, 70}, {520, 400}, {60, 410}}));
  ASSERT_TRUE(Settings().WriteCalibName("Table"));
  ASSERT_TRUE(Settings().WriteCamera("Table RealSense"));
  auto dlg = Open(m_name);
  ASSERT_NE(dlg->DepthSession(), nullptr);
  EXPECT_EQ(dlg->Corners(), std::vector<cv::Point2f>(plane.begin(), plane.end()));
}

// Until the measurement has settled the 3D View says so and auto calibration leaves the stored
// corners where they are; then the corners go onto the measured top.
TEST_F(DepthSessionTest, AutoCalibrationWaitsForASettledMeasurement) {
  const Plane2D corners{{{200, 150}, {440, 150}, {440, 330}, {200, 330}}};
  ASSERT_TRUE(veldrin::WritePlane2D(veldrin::Plane2DPath(Folder()), corners));
  // The table 0.7 m away, so that its corners raised onto the frames below lie elsewhere.
  ASSERT_TRUE(veldrin::WritePlane3D(
      veldrin::Plane3DPath(Folder()),
      {{{-0.1f, -0.08f, 0.7f}, {0.1f, -0.08f, 0.7f}, {0.1f, 0.08f, 0.7f}, {-0.1f, 0.08f, 0.7f}}}));
  int sessions = 0;
  CDepthSession::SetDeviceFactoryForTests(
      [&sessions]() -> std::unique_ptr<CDepthDevice> { return FailingDevice(-1, sessions++ > 0); });
  auto dlg = Open(m_name);
  Check(*dlg, veldrin::kAutoCalibrationCheckId)->setChecked(true);
  ASSERT_EQ(dlg->SwitchCamera(kDepthCamera), 1);
  ASSERT_NE(dlg->DepthSession(), nullptr);
  const std::vector<cv::Point2f> stored(corners.begin(), corners.end());
  ASSERT_EQ(dlg->Corners(), stored);
  ASSERT_TRUE(WaitFor([&] { return dlg->LastColorSize().width() > 0; }));

  CKivVideoEngineListener& listener = *dlg->DepthSession();
  cv::Mat grey(480, 640, CV_8UC3, cv::Scalar::all(128)), meters(480, 640, CV_64F, cv::Scalar(0.6));
  std::vector<SVertex> cloud(std::size_t{640} * 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x)
      cloud[y * 640u + x] = {{(x - 320.f) / 600.f * 0.6f, (y - 240.f) / 600.f * 0.6f, 0.6f}};
  auto* height = dlg->DepthSession()->Dialog()->findChild<QLineEdit*>("1021");
  for (std::uint64_t i = 1; i < CTableMeasure::kSettleFrames; ++i)
    listener.OnDepthFrame(DEPTH_CAMERA_INDEX, &grey, &meters, cloud.data());
  ASSERT_TRUE(WaitFor([&] { return height->text() == QStringLiteral("measuring\u2026"); }));
  EXPECT_EQ(dlg->Corners(), stored);

  listener.OnDepthFrame(DEPTH_CAMERA_INDEX, &grey, &meters, cloud.data());
  EXPECT_TRUE(WaitFor([&] { return height->text().endsWith(" mm"); }));
  EXPECT_NE(dlg->Corners(), stored);
}

}  // namespace
}  // namespace veldrin_test
