// The calibration combo, the save and remove buttons, and the stored index at start.
#include <QTest>

#include "workstation/windows/dialog_test_fixture.h"

namespace veldrin_test {
namespace {

class CalibrationListTest : public VeldrinDlgTest {
 protected:
  void SetUp() override {
    VeldrinDlgTest::SetUp();
    StartHost(1000, 500);
    ASSERT_TRUE(Settings().WriteCamera("Still A"));
  }

  std::string Dir() const { return m_dir.string() + "/"; }

  static void Select(CVeldrinDlg& dlg, int entry) {
    dlg.findChild<QComboBox*>(veldrin::kCalibrationComboId)->setCurrentIndex(entry);
    dlg.CalibrationList().OnCalibrationSelected();
  }

  static QStringList Entries(CVeldrinDlg& dlg) {
    QStringList out;
    auto* combo = dlg.findChild<QComboBox*>(veldrin::kCalibrationComboId);
    for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
    return out;
  }

  std::vector<cv::Point2f> Stored(const std::string& name) const {
    std::vector<cv::Point2f> points;
    (void)CCalibrationStore::ReadCalibration(Dir(), name, points);  // none read: no corners
    return points;
  }

  const std::vector<cv::Point2f> kQuad{{50, 40}, {600, 30}, {610, 450}, {40, 440}};
  const std::vector<cv::Point2f> kOther{{70, 60}, {500, 70}, {520, 400}, {60, 410}};
};

TEST_F(CalibrationListTest, SaveListsTheNameSelectsItAndACopyCanFollow) {
  auto dlg = Open(m_name);
  EXPECT_EQ(Entries(*dlg), QStringList{"Default"});
  dlg->InputWindow()->SetPoints(kQuad);

  SaveAs(*dlg, "Table");
  EXPECT_EQ(Stored("Table"), kQuad);
  EXPECT_EQ(Entries(*dlg), (QStringList{"Default", "Table"}));
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentText(), "Table");
  EXPECT_TRUE(m_boxes->Texts().empty());

  // Nothing changed since: the same corners still go under another name.
  ASSERT_TRUE(dlg->findChild<QWidget*>(veldrin::kSaveCalibrationButtonId)->isEnabled());
  SaveAs(*dlg, "Table copy");
  EXPECT_EQ(Stored("Table copy"), kQuad);
  // The file records the picture the corners were placed on.
  std::vector<cv::Point2f> points;
  ECalibrationForm form;
  std::string lens;
  cv::Size frame;
  ASSERT_NE(CCalibrationStore::ReadCalibration(Dir(), "Table copy", points, form, lens, frame), 0);
  EXPECT_EQ(frame, cv::Size(640, 480));
}

// Corners saved on another resolution are scaled onto this one, and the operator is told once.
TEST_F(CalibrationListTest, CalibrationFromAnotherResolutionIsScaled) {
  std::vector<cv::Point2f> half;
  for (const cv::Point2f& p : kQuad) half.emplace_back(p.x / 2, p.y / 2);
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Small", half, "", {320, 240}));
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Old", kOther));
  ASSERT_TRUE(Settings().WriteCalibName("Small"));
  auto dlg = Open(m_name);
  EXPECT_EQ(dlg->Corners(), kQuad);
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentText(),
            "Small");  // not edited
  const std::string notice = dlg->Status().Notice();
  EXPECT_NE(notice.find("320 x 240"), std::string::npos) << notice;
  EXPECT_NE(notice.find("640 x 480"), std::string::npos) << notice;
  EXPECT_TRUE(dlg->Status().Problem().empty()) << dlg->Status().Problem();

  // A file without a size is applied as it stands, and the notice goes.
  Select(*dlg, 1);
  EXPECT_EQ(dlg->Corners(), kOther);
  EXPECT_EQ(dlg->Status().Notice(), "");
}

TEST_F(CalibrationListTest, FailedSaveIsReportedAndSaveStaysEnabled) {
  // A directory in the file's place makes the write fail, whatever the user's rights.
  fs::create_directory(m_dir / "Table.clb");
  auto dlg = Open(m_name);
  dlg->InputWindow()->SetPoints(kQuad);
  SaveAs(*dlg, "Table");
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  const std::string file = Dir() + "Table.clb";
  EXPECT_NE(m_boxes->Texts()[0].find("could not be saved to " + file), std::string::npos);
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_ICONERROR | MB_OK);
  EXPECT_EQ(dlg->StatusText().toStdString(), "Cannot write " + file);
  EXPECT_EQ(Entries(*dlg), QStringList{"Default *"});  // still unsaved
  EXPECT_TRUE(dlg->findChild<QWidget*>(veldrin::kSaveCalibrationButtonId)->isEnabled());
}

// The calibration is stored but its camera reference is not: the status line names that file.
TEST_F(CalibrationListTest, UnwrittenCameraReferenceIsNamed) {
  fs::create_directory(m_dir / "Table.ref.png");
  auto dlg = Open(m_name);
  ASSERT_TRUE(WaitFor([&] { return !dlg->LastFrame().empty(); }));
  dlg->InputWindow()->SetPoints(kQuad);
  SaveAs(*dlg, "Table");
  EXPECT_EQ(Stored("Table"), kQuad);
  EXPECT_EQ(dlg->StatusText().toStdString(),
            "The camera reference could not be saved in " + Dir() + "Table.ref.png.");
}

// A file that cannot go (a directory stands in its place) keeps its entry, and the status line
// names it.
TEST_F(CalibrationListTest, FailedRemoveKeepsTheEntryAndNamesTheFile) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Table", kQuad));
  auto dlg = Open(m_name);
  Select(*dlg, 1);
  fs::remove(m_dir / "Table.clb");
  fs::create_directory(m_dir / "Table.clb");
  m_boxes->QueueAnswer(IDYES);
  dlg->CalibrationList().OnRemoveCalibration();
  EXPECT_EQ(Entries(*dlg), (QStringList{"Default", "Table"}));
  EXPECT_EQ(dlg->StatusText().toStdString(), "Cannot remove " + Dir() + "Table.clb");
}

TEST_F(CalibrationListTest, OverwriteAsksAndNoKeepsTheFile) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Table", kQuad));
  auto dlg = Open(m_name);
  dlg->InputWindow()->SetPoints(kOther);

  m_boxes->QueueAnswer(IDNO);
  SaveAs(*dlg, "Table");
  // The question names the calibration, and Enter answers No.
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Texts()[0], "Overwrite the calibration \"Table\"?");
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_YESNO | MB_DEFBUTTON2);
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

  dlg->InputWindow()->SetPoints(kOther);
  SaveAs(*dlg, "table");
  EXPECT_TRUE(m_boxes->Texts().empty());
  EXPECT_EQ(Stored("Table"), kQuad);
  EXPECT_EQ(Stored("table"), kOther);
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->count(), 3);
}

// The entry saved is the entry selected, on screen and for the next start, even when its
// name is the start of an earlier one.
TEST_F(CalibrationListTest, SavedEntryIsTheSelectedOneAndComesBackAtTheNextStart) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Demo sheet 2", kOther));
  {
    auto dlg = Open(m_name);
    dlg->InputWindow()->SetPoints(kQuad);
    SaveAs(*dlg, "Demo sheet");
    EXPECT_EQ(Entries(*dlg), (QStringList{"Default", "Demo sheet", "Demo sheet 2"}));
    EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentText(),
              "Demo sheet");
    EXPECT_EQ(dlg->CalibIndex(), 1);
  }
  EXPECT_EQ(Settings().ReadCalibIndex(), 1);
  EXPECT_EQ(Settings().ReadCalibName(), "Demo sheet");
  {
    auto dlg = Open(m_name);
    EXPECT_EQ(dlg->Corners(), kQuad);
  }
  // Another calibration that sorts before it moves its position, not its name.
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "A first", kOther));
  {
    auto dlg = Open(m_name);
    EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentText(),
              "Demo sheet");
    EXPECT_EQ(dlg->Corners(), kQuad);
    EXPECT_EQ(dlg->CalibIndex(), 2);
  }
  // Without a listed name the position applies as before.
  ASSERT_TRUE(Settings().WriteCalibName("gone"));
  ASSERT_TRUE(Settings().WriteCalibIndex(1));
  auto dlg = Open(m_name);
  EXPECT_EQ(dlg->Corners(), kOther);
}

// A refused name (which names the store refuses is the store's test) is explained and the dialog
// reopens with the typed text, to be corrected.
// "Default" is never proposed, and is refused in any letter case: it would list twice.
TEST_F(CalibrationListTest, RefusedNameIsExplainedAndTheDialogComesBackWithIt) {
  auto dlg = Open(m_name);
  EXPECT_EQ(SaveAsEach(*dlg, {"a/b", "dEFAULT", "ab"}), (QStringList{"", "a/b", "dEFAULT"}));
  ASSERT_EQ(m_boxes->Texts().size(), 2u);
  for (const std::string& text : m_boxes->Texts())
    EXPECT_NE(text.find("cannot be used as a calibration name"), std::string::npos) << text;
  EXPECT_EQ(Entries(*dlg), (QStringList{"Default", "ab"}));
  EXPECT_FALSE(fs::exists(m_dir / "a"));
  EXPECT_FALSE(fs::exists(m_dir / "dEFAULT.clb"));
  // A stored calibration is proposed under its own name.
  EXPECT_EQ(SaveAsEach(*dlg, {}), QStringList{"ab"});
}

TEST_F(CalibrationListTest, RemoveAsksAndReturnsToDefault) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Table", kQuad));
  auto dlg = Open(m_name);
  EXPECT_FALSE(dlg->findChild<QWidget*>(veldrin::kRemoveCalibrationButtonId)
                   ->isEnabled());  // "Default" is no file
  Select(*dlg, 1);
  ASSERT_EQ(dlg->Corners(), kQuad);
  EXPECT_TRUE(dlg->findChild<QWidget*>(veldrin::kRemoveCalibrationButtonId)->isEnabled());

  m_boxes->QueueAnswer(IDNO);
  dlg->CalibrationList().OnRemoveCalibration();
  EXPECT_TRUE(fs::exists(m_dir / "Table.clb"));
  EXPECT_EQ(dlg->Corners(), kQuad);

  m_boxes->QueueAnswer(IDYES);
  dlg->CalibrationList().OnRemoveCalibration();
  ASSERT_EQ(m_boxes->Texts().size(), 2u);
  EXPECT_EQ(m_boxes->Texts()[1], "Remove the calibration \"Table\"?");
  EXPECT_EQ(m_boxes->Calls()[1].type, MB_YESNO | MB_DEFBUTTON2);
  EXPECT_FALSE(fs::exists(m_dir / "Table.clb"));
  EXPECT_EQ(Entries(*dlg), QStringList{"Default"});
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentIndex(), 0);
  EXPECT_EQ(dlg->Corners()[0], cv::Point2f(160, 120));
  EXPECT_EQ(dlg->CalibIndex(), 0);

  // "Default" itself cannot be removed and asks nothing.
  EXPECT_FALSE(dlg->findChild<QWidget*>(veldrin::kRemoveCalibrationButtonId)->isEnabled());
  dlg->CalibrationList().OnRemoveCalibration();
  EXPECT_EQ(m_boxes->Texts().size(), 2u);
}

TEST_F(CalibrationListTest, OnlyFourPointFilesAreApplied) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "A three", {{1, 2}, {3, 4}, {5, 6}}));
  WriteFileBytes(m_dir / "B legacy.clb", LEFloatBytes(kOther));  // four raw float pairs
  auto dlg = Open(m_name);
  ASSERT_EQ(Entries(*dlg), (QStringList{"Default", "A three", "B legacy"}));
  dlg->InputWindow()->SetPoints(kQuad);

  Select(*dlg, 1);
  EXPECT_EQ(dlg->Corners(), kQuad);
  EXPECT_EQ(dlg->findChild<QLabel*>(veldrin::kPoint1LabelId)->text(), "P.1 = (50.0, 40.0)");

  Select(*dlg, 2);
  EXPECT_EQ(dlg->Corners(), kOther);
  EXPECT_EQ(dlg->findChild<QLabel*>(veldrin::kPoint4LabelId)->text(), "P.4 = (60.0, 410.0)");
  QTest::qWait(300);
  Screenshot(*dlg, "calibration-selected");

  Select(*dlg, 0);
  EXPECT_EQ(dlg->Corners()[2], cv::Point2f(480, 360));
}

TEST_F(CalibrationListTest, StoredIndexAtStartSelectsTheCalibration) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "First", kOther));
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Second", kQuad));
  ASSERT_TRUE(Settings().WriteCalibIndex(2));  // equal to the count: the last calibration
  auto dlg = Open(m_name);
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentText(), "Second");
  EXPECT_EQ(dlg->Corners(), kQuad);

  Select(*dlg, 1);
  dlg.reset();
  EXPECT_EQ(Settings().ReadCalibIndex(), 1);

  // Beyond the list (and no listed name): nothing is selected and the default corners stay.
  ASSERT_TRUE(Settings().WriteCalibName(""));
  ASSERT_TRUE(Settings().WriteCalibIndex(3));
  dlg = Open(m_name);
  EXPECT_EQ(dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId)->currentIndex(), -1);
  EXPECT_EQ(dlg->Corners()[0], cv::Point2f(160, 120));
}

TEST_F(CalibrationListTest, EditsAreMarkedAndEachDragIsOneUndoStep) {
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(Dir(), "Demo sheet", kQuad));
  ASSERT_TRUE(Settings().WriteCalibName("Demo sheet"));
  auto dlg = Open(m_name);
  dlg->resize(1200, 700);
  QApplication::setActiveWindow(dlg.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
  ASSERT_TRUE(WaitFor([&] { return !dlg->InputWindow()->GrabSurface().isNull(); }));
  ASSERT_TRUE(WaitForPaintedPlacement(dlg->InputWindow(), {640, 480}));
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId);
  ASSERT_EQ(combo->currentText(), "Demo sheet");

  // 25 drags of P.1, each a few pixels further.
  std::vector<std::vector<cv::Point2f>> states{dlg->Corners()};
  for (int i = 0; i < 25; ++i) {
    const cv::Point2f at = dlg->Corners()[0];
    Drag(*dlg, at, at + cv::Point2f(4, 3));
    ASSERT_NE(dlg->Corners(), states.back()) << i;
    states.push_back(dlg->Corners());
  }
  EXPECT_EQ(combo->currentText(), "Demo sheet *");

  // At least 20 steps back, one keystroke each; the mark goes when the saved corners are back.
  for (int i = 0; i < 25; ++i) {
    QTest::keyClick(dlg.get(), Qt::Key_Z, Qt::ControlModifier);
    ASSERT_EQ(dlg->Corners(), states[states.size() - 2 - i]) << i;
  }
  EXPECT_EQ(dlg->Corners(), kQuad);
  EXPECT_EQ(combo->currentText(), "Demo sheet");
  QTest::keyClick(dlg.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(dlg->Corners(), states[1]);
  EXPECT_EQ(combo->currentText(), "Demo sheet *");
  EXPECT_EQ(dlg->findChild<QLabel*>(veldrin::kPoint1LabelId)->text(),
            QString::asprintf("P.1 = (%.1f, %.1f)", states[1][0].x, states[1][0].y));

  // Saving clears the mark; choosing another entry does too.
  m_boxes->QueueAnswer(IDYES);  // overwrite
  SaveAs(*dlg, "Demo sheet");
  EXPECT_EQ(combo->currentText(), "Demo sheet");
  dlg->InputWindow()->SetPoints(kOther);
  EXPECT_EQ(combo->currentText(), "Demo sheet *");
  Select(*dlg, 0);
  EXPECT_EQ(Entries(*dlg), (QStringList{"Default", "Demo sheet"}));
}

TEST_F(CalibrationListTest, UnusableOutlineIsRedWarnedAndSavingAsksFirst) {
  auto dlg = Open(m_name);
  auto* warning = dlg->findChild<QLabel*>(veldrin::kQuadWarningLabelId);
  ASSERT_NE(warning, nullptr);
  EXPECT_TRUE(warning->text().isEmpty());
  ASSERT_TRUE(WaitFor([&] { return !dlg->InputWindow()->GrabSurface().isNull(); }));

  const std::vector<cv::Point2f> crossed{{100, 100}, {500, 400}, {500, 100}, {100, 400}};
  dlg->InputWindow()->SetPoints(crossed);
  EXPECT_FALSE(warning->text().isEmpty());
  // The outline is drawn red: a pixel on the side P.1-P.2, away from the markers.
  const QColor side = dlg->InputWindow()->GrabSurface().pixelColor(300, 250);
  EXPECT_GT(side.red(), 200);
  EXPECT_LT(side.green(), 60);

  m_boxes->QueueAnswer(IDNO);
  dlg->CalibrationList().OnSaveCalibration();  // No: the name dialog does not even open
  ASSERT_EQ(m_boxes->Calls().size(), 1u);
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_YESNO | MB_DEFBUTTON2);

  m_boxes->QueueAnswer(IDYES);
  SaveAs(*dlg, "Crossed");
  EXPECT_EQ(Stored("Crossed"), crossed);

  dlg->InputWindow()->SetPoints({{100, 100}, {104, 100}, {104, 400}, {100, 400}});  // 4 px wide
  EXPECT_FALSE(warning->text().isEmpty());
  dlg->InputWindow()->SetPoints(kQuad);
  EXPECT_TRUE(warning->text().isEmpty());
  const QImage surface = dlg->InputWindow()->GrabSurface();
  bool purple = false;
  for (int y = 33; y <= 37; ++y)
    purple = purple || surface.pixelColor(325, y) == QColor(134, 89, 255);
  EXPECT_TRUE(purple);
}

}  // namespace
}  // namespace veldrin_test
