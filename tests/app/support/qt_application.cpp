// One QApplication for the whole test program, made before the first test and
// destroyed after the last, on Qt's offscreen platform.
#include "platform/winsock.h"

#include <QApplication>

#include <gtest/gtest.h>

namespace {

const char* const kTestHosts = "feedback.test=127.0.0.1";

class QtApplication : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen"
                                                                       : qgetenv("QT_QPA_PLATFORM"));
        app_ = new QApplication(argc_, argv_);
        // Names resolve from this table only: no test asks the machine's resolver.
        kelvo::winsock::SetResolver(kelvo::winsock::TableResolver(kTestHosts));
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

private:
    int argc_ = 1;
    char name_[16] = "kelvo_app_test";
    char* argv_[2] = {name_, nullptr};
    QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kQtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

} // namespace
