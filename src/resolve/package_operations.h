// Enabling, disabling and uninstalling installed packages as scheduled, and the cleanup run.
#pragma once

#include <vector>

#include "pkgdb/installer.h"
#include "staging/manifest.h"

namespace velmara {

// Makes the pending actions of the installed set consistent and stages them. Level 0 prints
// nothing, 1 reports enabling and disabling and the refusals, 2 also uninstalling.
void applyScheduledActions(Installer& installer, Manifest& manifest, int reportLevel);
// The lost-dependency step of applyScheduledActions: a package whose dependency no provider
// keeps is marked for uninstall; an active one whose dependency stays only disabled, for disable.
void followLostDependencies(Installer& installer);
void enablePackages(Installer& installer, Manifest& manifest,
                    const std::vector<InstalledPackage*>& packages, bool report);
// Uninstalls every package that is neither essential nor made for a recent system.
void cleanupPackages(Installer& installer, Manifest& manifest);

}  // namespace velmara
