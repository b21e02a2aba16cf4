// The calibration combo, the save and remove buttons, and the stored index at start.
#include <QLineEdit>

#include "workstation/windows/add_calibration_dlg.h"
#include "workstation/windows/dialog_test_fixture.h"

#include "platform/byte_order.h"

namespace veldrin_test {
namespace {

class CalibrationListTest : public VeldrinDlgTest {
 protected:
  void SetUp() override {
    VeldrinDlgTest::SetUp();
    StartHost(1000, 500);
    Settings().WriteCamera("Still A");
  }

  std::string Dir() const { return m_dir.string() + "/"; }

  // Runs the save button with the name typed into the name dialog (or cancelled).
  static void SaveAs(CVeldrinDlg& dlg, const std::string& name, bool cancel = false) {
    QTimer::singleShot(50, [name, cancel] {
      auto* box = qobject_cast<CAddCalibrationDlg*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      box->findChild<QLineEdit*>("1008")->setText(QString::fromStdString(name));
      if (cancel)
        box->reject();
      else
        box->accept();
    });
    dlg.CalibrationList().OnSaveCalibration();
  }

  static void Select(CVeldrinDlg& dlg, int entry) {
    dlg.findChild<QComboBox*>("1004")->setCurrentIndex(entry);
    dlg.CalibrationList().OnCalibrationSelected();
  }

  static QStringList Entries(CVeldrinDlg& dlg) {
    QStringList out;
    auto* combo = dlg.findChild<QComboBox*>("1004");
    for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
    return out;
  }

  // Moves the input window's corners as a drag would.
  static void MoveCorners(CVeldrinDlg& dlg, std::vector<cv::Point2f> corners) {
    dlg.InputWindow()->SetPoints(std::move(corners));
  }

  std::vector<cv::Point2f> Stored(const std::string& name) const {
    std::vector<cv::Point2f> points;
    CCalibrationStore::ReadCalibration(Dir(), name, points);
    return points;
  }

  const std::vector<cv::Point2f> kQuad{{50, 40}, {600, 30}, {610, 450}, {40, 440}};
  const std::vector<cv::Point2f> kOther{{70, 60}, {500, 70}, {520, 400}, {60, 410}};
};

TEST_F(CalibrationListTest, SaveListsTheNameSelectsItAndDisablesSave) {
  auto dlg = Open(m_name);
  EXPECT_EQ(Entries(*dlg), QStringList{"Default"});
  EXPECT_FALSE(dlg->findChild<QWidget*>("20458")->isEnabled());
  MoveCorners(*dlg, kQuad);
  EXPECT_TRUE(dlg->findChild<QWidget*>("20458")->isEnabled());

  SaveAs(*dlg, "Table");
  EXPECT_EQ(Stored("Table"), kQuad);
  EXPECT_EQ(Entries(*dlg), (QStringList{"Default", "Table"}));
  EXPECT_EQ(dlg->findChild<QComboBox*>("1004")->currentText(), "Table");
  EXPECT_FALSE(dlg->findChild<QWidget*>("20458")->isEnabled());
  EXPECT_TRUE(m_boxes->Texts().empty());
}

TEST_F(CalibrationListTest, FailedSaveIsReportedAndSaveStaysEnabled) {
  // A directory in the file's place makes the write fail, whatever the user's rights.
  fs::create_directory(m_dir / "Table.clb");
  auto dlg = Open(m_name);
  MoveCorners(*dlg, kQuad);
  SaveAs(*dlg, "Table");
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_NE(m_boxes->Texts()[0].find("could not be saved"), std::string::npos);
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_ICONERROR | MB_OK);
  EXPECT_EQ(Entries(*dlg), QStringList{"Default"});
  EXPECT_TRUE(dlg->findChild<QWidget*>("20458")->isEnabled());
}

TEST_F(CalibrationListTest, OverwriteAsksAndNoKeepsTheFile) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Table", kQuad));
  auto dlg = Open(m_name);
  MoveCorners(*dlg, kOther);

  m_boxes->QueueAnswer(IDNO);
  SaveAs(*dlg, "Table");
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Texts()[0], Text(veldrin::IDS_CONFIRM_OVERWRITE_CALIBRATION));
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_YESNO);
  EXPECT_EQ(Stored("Table"), kQuad);

  m_boxes->QueueAnswer(IDYES);
  SaveAs(*dlg, "Table");
  EXPECT_EQ(Stored("Table"), kOther);
  EXPECT_EQ(Entries(*dlg), (QStringList{"Default", "Table"}));
}

TEST_F(CalibrationListTest, CaseVariantAndCancelledNamesAskNothing) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Table", kQuad));
  auto dlg = Open(m_name);
  SaveAs(*dlg, "ignored", /*cancel=*/true);
  EXPECT_FALSE(fs::exists(m_dir / "ignored.clb"));

  MoveCorners(*dlg, kOther);
  SaveAs(*dlg, "table");
  EXPECT_TRUE(m_boxes->Texts().empty());
  EXPECT_EQ(Stored("Table"), kQuad);
  EXPECT_EQ(Stored("table"), kOther);
  EXPECT_EQ(dlg->findChild<QComboBox*>("1004")->count(), 3);
}

TEST_F(CalibrationListTest, PrefixNameSelectsTheEarlierEntry) {
  auto dlg = Open(m_name);
  MoveCorners(*dlg, kQuad);
  SaveAs(*dlg, "Def");
  EXPECT_TRUE(fs::exists(m_dir / "Def.clb"));
  // The display follows the string search: "Def" first matches "Default".
  EXPECT_EQ(dlg->findChild<QComboBox*>("1004")->currentIndex(), 0);
  EXPECT_EQ(dlg->CalibIndex(), 0);
}

TEST_F(CalibrationListTest, RefusedNameIsExplainedAndNothingIsWritten) {
  auto dlg = Open(m_name);
  for (const char* bad : {"", "..", "a/b"}) {
    SaveAs(*dlg, bad);
  }
  const auto texts = m_boxes->Texts();
  ASSERT_EQ(texts.size(), 3u);
  for (const auto& t : texts)
    EXPECT_NE(t.find("cannot be used as a calibration name"), std::string::npos);
  EXPECT_EQ(Entries(*dlg), QStringList{"Default"});
  EXPECT_FALSE(fs::exists(m_dir / ".clb"));
  EXPECT_FALSE(fs::exists(m_dir / "a"));
}

TEST_F(CalibrationListTest, RemoveAsksAndReturnsToDefault) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Table", kQuad));
  auto dlg = Open(m_name);
  Select(*dlg, 1);
  ASSERT_EQ(dlg->Corners(), kQuad);

  m_boxes->QueueAnswer(IDNO);
  dlg->CalibrationList().OnRemoveCalibration();
  EXPECT_TRUE(fs::exists(m_dir / "Table.clb"));
  EXPECT_EQ(dlg->Corners(), kQuad);

  m_boxes->QueueAnswer(IDYES);
  dlg->CalibrationList().OnRemoveCalibration();
  ASSERT_EQ(m_boxes->Texts().size(), 2u);
  EXPECT_EQ(m_boxes->Texts()[1], Text(veldrin::IDS_CONFIRM_REMOVE_CALIBRATION));
  EXPECT_FALSE(fs::exists(m_dir / "Table.clb"));
  EXPECT_EQ(Entries(*dlg), QStringList{"Default"});
  EXPECT_EQ(dlg->findChild<QComboBox*>("1004")->currentIndex(), 0);
  EXPECT_EQ(dlg->Corners()[0], cv::Point2f(160, 120));
  EXPECT_EQ(dlg->CalibIndex(), 0);

  // "Default" itself cannot be removed and asks nothing.
  dlg->CalibrationList().OnRemoveCalibration();
  EXPECT_EQ(m_boxes->Texts().size(), 2u);
}

TEST_F(CalibrationListTest, OnlyFourPointFilesAreApplied) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "A three", {{1, 2}, {3, 4}, {5, 6}}));
  // A legacy file: four raw little-endian float pairs.
  std::string raw;
  for (const cv::Point2f& p : kOther) {
    veldrin::AppendLEFloat(raw, p.x);
    veldrin::AppendLEFloat(raw, p.y);
  }
  WriteFileBytes(m_dir / "B legacy.clb", raw);
  auto dlg = Open(m_name);
  ASSERT_EQ(Entries(*dlg), (QStringList{"Default", "A three", "B legacy"}));
  MoveCorners(*dlg, kQuad);

  Select(*dlg, 1);
  EXPECT_EQ(dlg->Corners(), kQuad);
  EXPECT_EQ(dlg->findChild<QLabel*>("1005")->text(), "P.1 = (50.0, 40.0)");

  Select(*dlg, 2);
  EXPECT_EQ(dlg->Corners(), kOther);
  EXPECT_EQ(dlg->findChild<QLabel*>("1014")->text(), "P.4 = (60.0, 410.0)");
  QTest::qWait(300);
  Screenshot(*dlg, "calibration-selected");
  EXPECT_FALSE(dlg->findChild<QWidget*>("20458")->isEnabled());

  Select(*dlg, 0);
  EXPECT_EQ(dlg->Corners()[2], cv::Point2f(480, 360));
  EXPECT_TRUE(dlg->findChild<QWidget*>("20458")->isEnabled());
}

TEST_F(CalibrationListTest, StoredIndexAtStartDrivesThePublishedPicture) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "First", kOther));
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Second", kQuad));
  Settings().WriteCalibIndex(2);  // equal to the count: the last calibration
  auto dlg = Open(m_name);
  EXPECT_EQ(dlg->findChild<QComboBox*>("1004")->currentText(), "Second");
  EXPECT_EQ(dlg->Corners(), kQuad);
  EXPECT_FALSE(dlg->findChild<QWidget*>("20458")->isEnabled());
  m_host->SetMediaSize(500, 1000);
  const cv::Mat picture = TakePictureOfSize(640, 320);
  ASSERT_FALSE(picture.empty());
  EXPECT_LE(MaxDiff(picture, IndependentWarp(m_still, kQuad, 640, 320)), 1.0);

  Select(*dlg, 1);
  dlg.reset();
  EXPECT_EQ(Settings().ReadCalibIndex(), 1);
}

}  // namespace
}  // namespace veldrin_test
