// One way to make the application object, for the lazy and the environment-owned case.
#include "application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>

#include <utility>

namespace kelvo::test {
namespace {

// Qt keeps a reference to argc and argv for the application's whole life.
int gArgc = 1;
char gName[] = "kelvo_test";
char* gArgv[] = {gName, nullptr};

QCoreApplication* Make(AppKind kind) {
    switch (kind) {
    case AppKind::Widgets:
        return new QApplication(gArgc, gArgv);
    case AppKind::Gui:
        return new QGuiApplication(gArgc, gArgv);
    case AppKind::Core:
        break;
    }
    return new QCoreApplication(gArgc, gArgv);
}

class ApplicationEnvironment : public ::testing::Environment {
public:
    ApplicationEnvironment(AppKind kind, std::function<void()> afterStart)
        : kind_(kind), afterStart_(std::move(afterStart)) {}

    void SetUp() override {
        if (QCoreApplication::instance() == nullptr) app_ = Make(kind_);
        if (afterStart_) afterStart_();
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

private:
    AppKind kind_;
    std::function<void()> afterStart_;
    QCoreApplication* app_ = nullptr;
};

} // namespace

QCoreApplication& EnsureApp(AppKind kind) {
    if (QCoreApplication::instance() == nullptr) Make(kind); // kept until the program ends
    return *QCoreApplication::instance();
}

::testing::Environment* AddApplicationEnvironment(AppKind kind, std::function<void()> afterStart) {
    return ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment(kind, std::move(afterStart)));
}

} // namespace kelvo::test
