// The host simulator: loads the plug-in module the way the host does (dlopen,
// DllGetClassObject with the host's class and interface ids, OnLoad) and
// calls it by slot through the host's own view of the ABI (host_abi.h),
// recording every call the plug-in makes back into the host's objects as
// plain values. tvoz-host drives it from the command line; the tests drive
// it directly. One thread at a time per call; the plug-in's own threads are
// its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/host/host_abi.h"

namespace host {

using hostabi::HRESULT;
using Text = std::optional<std::string>;  // nothing: the plug-in passed a null pointer

struct FolderRow {
  std::string id, label;
};

// Every argument of one add call of the track list, in the host's order.
struct TrackRow {
  Text id, title, artist, remix, genre, label, comment, cover, streamUrl;
  float length = 0, bpm = 0;
  int key = 0, year = 0;
  bool video = false, karaoke = false;
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
  // The module stays loaded unless unload() is called.
  explicit PluginHost(const std::string &modulePath);
  // Releases every plug-in object this host created.
  ~PluginHost();
  PluginHost(const PluginHost &) = delete;
  PluginHost &operator=(const PluginHost &) = delete;

  // DllGetClassObject as the host calls it.
  HRESULT create(const hostabi::GUID &clsid, const hostabi::GUID &iid, void **out);
  // A new plug-in object with the host's ids, not loaded; null when refused.
  hostabi::OnlineSource *createPlugin();
  // Releases an object of this host, as the host does when it is done with it.
  void release(hostabi::OnlineSource *plugin);
  // Releases every object and closes the module, as a host does at quit or
  // when the DJ turns the plug-in off; the host must not be used after it.
  void unload();
  // The plug-in, created and loaded (OnLoad) on first use; throws when refused.
  hostabi::OnlineSource &plugin();

  PluginInfo info();
  bool signedIn();
  HRESULT login();
  HRESULT logout();
  HRESULT oauth(const char *access, const char *refresh, const char *code, const char *error);
  std::vector<FolderRow> folders();
  std::vector<TrackRow> open(const char *folderId);
  std::vector<TrackRow> search(const char *text);
  StreamAnswer play(const char *trackId);
  std::vector<std::string> menu(const char *trackId);
  HRESULT choose(const char *trackId, unsigned long index);
  std::vector<std::string> folderMenu(const char *folderId);
  HRESULT folderChoose(const char *folderId, unsigned long index);

 private:
  void *module_ = nullptr;
  hostabi::DllGetClassObjectFn entry_ = nullptr;
  std::vector<hostabi::OnlineSource *> created_;
  hostabi::OnlineSource *loaded_ = nullptr;
};

}  // namespace host
