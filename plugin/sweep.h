// Clearing away what a killed host left behind: the temporary files of the
// plug-in's own writers (an atomic rewrite in the support folder, a download
// in the offline folder) that nobody finished.
#pragma once

#include <string>

namespace tvoz {

// Starts sweepTemporaries on a detached thread; never throws, never waits.
void startSweep();

// Removes, from the support folder and the current offline folder, the
// plug-in's temporary files older than ten minutes (younger ones may belong
// to a writer still at work). Nothing else is touched.
void sweepTemporaries() noexcept;

// Whether `name` in the support folder (`inSupport`) or the offline folder is
// one of the plug-in's temporary files.
bool isOurTemporary(const std::string &name, bool inSupport);

}  // namespace tvoz
