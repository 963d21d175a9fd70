// Announcing a newer plug-in version at load.
#pragma once

namespace tvoz {

// Starts the check on a detached thread; never throws, never waits.
void startUpdateCheck();

}  // namespace tvoz
