#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>
#include <string>
#include <utility>

namespace veldrin_test {

// One application for the whole test run, destroyed before the program's exit handlers run.
// Register it once per test program:
//   ::testing::AddGlobalTestEnvironment(new veldrin_test::CQtAppEnvironment("my_test"));
class CQtAppEnvironment : public ::testing::Environment {
 public:
  // `displayName`, when given, becomes the application's display name (the boxes' caption).
  explicit CQtAppEnvironment(std::string name, QString displayName = {})
      : m_name(std::move(name)), m_displayName(std::move(displayName)) {}

  void SetUp() override {
    // QApplication keeps references to these, so they live as long as the environment.
    m_argv[0] = m_name.data();
    m_app = std::make_unique<QApplication>(m_argc, m_argv);
    if (!m_displayName.isEmpty()) QGuiApplication::setApplicationDisplayName(m_displayName);
  }
  void TearDown() override { m_app.reset(); }

 private:
  std::string m_name;
  QString m_displayName;
  int m_argc = 1;
  char* m_argv[2] = {nullptr, nullptr};
  std::unique_ptr<QApplication> m_app;
};

}  // namespace veldrin_test
