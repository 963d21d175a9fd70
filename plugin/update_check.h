// Announcing a newer plug-in version at load.
#pragma once

#include <optional>
#include <string>

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

// What a version answer's body asks to announce: its "version" when that
// sorts after ours, with the "url" to open (possibly empty). Nothing when the
// body is not an object whose "version" and "url", if present, are strings,
// or the version is not newer. Never throws a JSON error; touches no state.
struct UpdateNotice {
  std::string version;
  std::string url;
};
std::optional<UpdateNotice> updateNoticeFor(const std::string &body);

}  // namespace tvoz
