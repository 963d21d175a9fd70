// Announcing a newer plug-in version at load.
#pragma once

namespace tvoz {

// The plug-in's own version, as the service's version answer is compared with it.
constexpr const char *kPluginVersion = "1.0.0";

// Starts checkForUpdate on a detached thread; never throws, never waits. When
// no thread can be started there is simply no check this time.
void startUpdateCheck();

// Asks the service for the newest version; when it sorts after ours (byte by
// byte), shows the notice and, once the DJ has dismissed it, opens the
// download page. Every failure ends it silently. Blocks on the network and on
// the DJ; any thread.
void checkForUpdate() noexcept;

}  // namespace tvoz
