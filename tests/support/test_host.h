// A stand-in for the host: loads the built plug-in module with dlopen, creates
// the plug-in through DllGetClassObject and calls it by slot, recording every
// call the plug-in makes back into the host's objects.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/support/host_abi.h"

namespace tvoz_test {

using Text = std::optional<std::string>;  // nullopt: the plug-in passed a null pointer

struct Folder {
  std::string id;
  std::string label;
};

struct Track {
  Text id, title, artist, remix, genre, label, comment, cover, streamUrl;
  float length = 0, bpm = 0;
  int key = 0, year = 0;
  bool video = false, karaoke = false;
};

struct StreamAnswer {
  hostabi::HRESULT result = 0;
  Text url;    // nullopt when the plug-in did not set it
  Text error;
};

class FolderRecorder : public hostabi::SubfoldersList {
 public:
  hostabi::HRESULT add(const char *id, const char *name) override;
  std::vector<Folder> folders;
};

class TrackRecorder : public hostabi::TracksList {
 public:
  hostabi::HRESULT add(const char *uniqueId, const char *title, const char *artist,
                       const char *remix, const char *genre, const char *label,
                       const char *comment, const char *coverUrl, const char *streamUrl,
                       float length, float bpm, int key, int year, bool isVideo,
                       bool isKaraoke) override;
  std::vector<Track> tracks;
};

class MenuRecorder : public hostabi::ContextMenu {
 public:
  hostabi::HRESULT add(const char *label) override;
  std::vector<std::string> labels;
};

class StringRecorder : public hostabi::String {
 public:
  hostabi::HRESULT set(const char *text) override;
  Text value;
  int calls = 0;
};

// The path of the module the build made.
std::string modulePath();

class TestHost {
 public:
  // Loads `module` (the built plug-in by default). Does not create a plug-in.
  explicit TestHost(const std::string &module = modulePath());
  // Releases every plug-in created; the module stays loaded, since the
  // plug-in's detached threads may still run inside it.
  ~TestHost();

  hostabi::HRESULT create(const hostabi::GUID &clsid, const hostabi::GUID &iid, void **out);
  // A new plug-in with the right ids; null when refused.
  hostabi::OnlineSource *createPlugin();
  // Releases a plug-in this host created, as the host does when it is done.
  void release(hostabi::OnlineSource *plugin);
  // The plug-in, created and loaded (OnLoad) on first use.
  hostabi::OnlineSource &plugin();

  std::vector<Folder> folders();
  std::vector<Track> open(const char *folderId);
  std::vector<Track> search(const char *text);
  StreamAnswer stream(const char *id);
  std::vector<std::string> menu(const char *trackId);
  hostabi::HRESULT choose(const char *trackId, unsigned long index);
  std::vector<std::string> folderMenu(const char *folderId);
  hostabi::HRESULT folderChoose(const char *folderId, unsigned long index);
  bool signedIn();

 private:
  void *handle_ = nullptr;
  hostabi::DllGetClassObjectFn entry_ = nullptr;
  std::vector<hostabi::OnlineSource *> created_;
  hostabi::OnlineSource *loaded_ = nullptr;
};

}  // namespace tvoz_test
