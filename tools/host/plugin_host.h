// Loads the plug-in module the way the host does (dlopen, DllGetClassObject
// with the host's class and interface ids, OnLoad) and calls it by slot
// through the host's own view of the ABI, collecting what the plug-in hands
// back into plain values. One thread; the plug-in's own threads are its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/support/host_abi.h"

namespace host {

using hostabi::HRESULT;
using Text = std::optional<std::string>;  // nothing: the plug-in passed a null pointer

struct FolderRow {
  std::string id, label;
};

struct TrackRow {
  Text id, title, artist, remix, genre, cover;
  float bpm = 0;
  bool video = false;
};

struct StreamAnswer {
  HRESULT result = 0;
  Text url, error;  // nothing when the plug-in did not set it
};

struct PluginInfo {
  Text name, author, description, version;
  Text icon;  // the picture the plug-in points the host at, as a path
};

class PluginHost {
 public:
  // Loads the module; throws std::runtime_error with the loader's reason.
  // The module is never unloaded: the plug-in's detached threads (play
  // reports, the sign-in listener) may still be running inside it.
  explicit PluginHost(const std::string &modulePath);
  PluginHost(const PluginHost &) = delete;
  PluginHost &operator=(const PluginHost &) = delete;

  PluginInfo info();
  bool signedIn();
  HRESULT login();
  HRESULT logout();
  HRESULT oauth(const char *access, const char *refresh, const char *code, const char *error);
  std::vector<FolderRow> folders();
  std::vector<TrackRow> open(const std::string &folderId);
  std::vector<TrackRow> search(const std::string &text);
  StreamAnswer play(const std::string &trackId);
  std::vector<std::string> menu(const std::string &trackId);
  HRESULT choose(const std::string &trackId, unsigned long index);
  std::vector<std::string> folderMenu(const std::string &folderId);
  HRESULT folderChoose(const std::string &folderId, unsigned long index);

 private:
  // The plug-in object, created and loaded on first use; throws when refused.
  hostabi::OnlineSource &plugin();

  hostabi::DllGetClassObjectFn entry_ = nullptr;
  hostabi::OnlineSource *plugin_ = nullptr;
};

}  // namespace host
