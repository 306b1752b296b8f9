#include "pkgdb/installer.h"

Installer& Installer::instance() {
    // Deliberately leaked: records and messages must outlive every static destructor.
    static Installer* const context = new Installer();
    return *context;
}
