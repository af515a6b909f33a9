// A QCoreApplication for the whole of a GoogleTest binary: QSqlDatabase loads its drivers as
// plugins, which needs an application object. Include it once in a test file.
#pragma once

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>

namespace qelto::test {

class CoreApplication : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "qelto_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QCoreApplication> app_;
};

inline const auto* const kCoreApplication =
    ::testing::AddGlobalTestEnvironment(new CoreApplication);

}  // namespace qelto::test
