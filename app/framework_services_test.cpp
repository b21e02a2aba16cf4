#include "app/framework_services.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>

#include "testing/qt_app.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(
    new veldrin_test::CQtAppEnvironment("app_framework_services_test"));

namespace fs = std::filesystem;

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_oem = m_scratch.Path() / "oem.ini";
    setenv(veldrin::kOemFileVariable, m_oem.c_str(), 1);
  }

  void TearDown() override { unsetenv(veldrin::kOemFileVariable); }

  void WriteOem(const std::string& text) { veldrin_test::WriteFileBytes(m_oem, text); }

  veldrin_test::CScratchDir m_scratch{"framework-services"};
  fs::path m_oem;
};

TEST_F(ShellTest, OemNameDefaultsAndOverrides) {
  // No OEM file: the default, unchanged.
  EXPECT_EQ(veldrin::GetStringOEM("App", "Name", "Veldrin 10"), "Veldrin 10");

  // Names match without regard to case; other sections and keys do not leak in.
  WriteOem("[Other]\nName=Wrong\n[app]\nTitle=Wrong too\nNAME = Acme Table Cam\n");
  EXPECT_EQ(veldrin::GetStringOEM("App", "Name", "Veldrin 10"), "Acme Table Cam");
  EXPECT_EQ(veldrin::GetStringOEM("App", "Missing", "fallback"), "fallback");

  // An empty override does not blank the product name.
  WriteOem("[App]\nName=\n");
  EXPECT_EQ(veldrin::GetStringOEM("App", "Name", "Veldrin 10"), "Veldrin 10");

  // Without the variable the file beside the executable is the source.
  unsetenv(veldrin::kOemFileVariable);
  EXPECT_EQ(veldrin::OemFilePath(),
            (fs::read_symlink("/proc/self/exe").parent_path() / "oem.ini").string());
}

TEST_F(ShellTest, SettingsRootCarriesTheProductName) {
  EXPECT_EQ(veldrin::InitSettingsRoot(), "Veldrin 10");
  EXPECT_EQ(QCoreApplication::organizationName(), "Verrant");
  EXPECT_EQ(QCoreApplication::applicationName(), "RIP 10/Veldrin 10");

  WriteOem("[App]\nName=Acme Table Cam\n");
  EXPECT_EQ(veldrin::InitSettingsRoot(), "Acme Table Cam");
  EXPECT_EQ(QCoreApplication::applicationName(), "RIP 10/Acme Table Cam");
  // Window titles must stay exactly what the windows set: no display name to append.
  EXPECT_TRUE(QGuiApplication::applicationDisplayName().isEmpty() ||
              QGuiApplication::applicationDisplayName() == QCoreApplication::applicationName());
}

}  // namespace
