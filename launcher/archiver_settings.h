// The settings the launcher's main window gives its archive component: the launcher's policy, kept
// beside the update run that relies on it.
#pragma once

#include "archive/zip_archiver.h"

namespace pc {

// Names the component "ZipArchiver" and applies the window's stored settings over the defaults.
void ApplyLauncherArchiverSettings(TZipArchiver& archiver);

} // namespace pc
