#include "pkgdb/installer.h"

namespace velmara {

Installer& Installer::instance() {
    // Deliberately leaked: records and messages must outlive every static destructor.
    static Installer* const context = new Installer();
    return *context;
}

namespace {

// The layers below this one report through the run's context without knowing its type.
[[maybe_unused]] const bool kRunContextNamed =
    (Reporter::setRunContextSource([]() -> ReportContext& { return Installer::instance(); }), true);

}  // namespace

}  // namespace velmara
