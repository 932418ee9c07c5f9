// Every app test program runs with one QApplication, made before the first test and
// deleted after the last, on Qt's offscreen platform.
#include "tests/support/application.h"

namespace {

[[maybe_unused]] const auto* const kApplication = kelvo::test::AddApplicationEnvironment(kelvo::test::AppKind::Widgets);

} // namespace
