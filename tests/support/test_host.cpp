#include "tests/support/test_host.h"

#include <dlfcn.h>
#include <stdexcept>

namespace tvoz_test {

namespace {

Text text(const char *s) { return s ? Text(s) : std::nullopt; }

}  // namespace

hostabi::HRESULT FolderRecorder::add(const char *id, const char *name) {
  folders.push_back({id ? id : "<null>", name ? name : "<null>"});
  return 0;
}

hostabi::HRESULT TrackRecorder::add(const char *uniqueId, const char *title, const char *artist,
                                    const char *remix, const char *genre, const char *label,
                                    const char *comment, const char *coverUrl,
                                    const char *streamUrl, float length, float bpm, int key,
                                    int year, bool isVideo, bool isKaraoke) {
  Track t;
  t.id = text(uniqueId);
  t.title = text(title);
  t.artist = text(artist);
  t.remix = text(remix);
  t.genre = text(genre);
  t.label = text(label);
  t.comment = text(comment);
  t.cover = text(coverUrl);
  t.streamUrl = text(streamUrl);
  t.length = length;
  t.bpm = bpm;
  t.key = key;
  t.year = year;
  t.video = isVideo;
  t.karaoke = isKaraoke;
  tracks.push_back(std::move(t));
  return 0;
}

hostabi::HRESULT MenuRecorder::add(const char *label) {
  labels.push_back(label ? label : "<null>");
  return 0;
}

hostabi::HRESULT StringRecorder::set(const char *t) {
  value = text(t);
  ++calls;
  return 0;
}

std::string modulePath() { return TVOZ_MODULE_PATH; }

TestHost::TestHost(const std::string &module) {
  handle_ = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
  entry_ = reinterpret_cast<hostabi::DllGetClassObjectFn>(::dlsym(handle_, "DllGetClassObject"));
  if (!entry_) throw std::runtime_error("DllGetClassObject not exported");
}

TestHost::~TestHost() {
  for (auto *p : created_) p->Release();
}

hostabi::HRESULT TestHost::create(const hostabi::GUID &clsid, const hostabi::GUID &iid,
                                  void **out) {
  hostabi::HRESULT r = entry_(clsid, iid, out);
  if (r == 0 && out && *out) created_.push_back(static_cast<hostabi::OnlineSource *>(*out));
  return r;
}

hostabi::OnlineSource *TestHost::createPlugin() {
  void *out = nullptr;
  if (create(hostabi::kClsidPlugin8, hostabi::kIidBasic8, &out) != 0) return nullptr;
  return static_cast<hostabi::OnlineSource *>(out);
}

void TestHost::release(hostabi::OnlineSource *plugin) {
  for (auto it = created_.begin(); it != created_.end(); ++it) {
    if (*it == plugin) {
      created_.erase(it);
      if (loaded_ == plugin) loaded_ = nullptr;
      plugin->Release();
      return;
    }
  }
}

hostabi::OnlineSource &TestHost::plugin() {
  if (!loaded_) {
    loaded_ = createPlugin();
    if (!loaded_) throw std::runtime_error("plug-in refused creation");
    loaded_->OnLoad();
  }
  return *loaded_;
}

std::vector<Folder> TestHost::folders() {
  FolderRecorder r;
  plugin().GetFolderList(&r);
  return r.folders;
}

std::vector<Track> TestHost::open(const char *folderId) {
  TrackRecorder r;
  plugin().GetFolder(folderId, &r);
  return r.tracks;
}

std::vector<Track> TestHost::search(const char *text) {
  TrackRecorder r;
  plugin().OnSearch(text, &r);
  return r.tracks;
}

StreamAnswer TestHost::stream(const char *id) {
  StringRecorder url, error;
  StreamAnswer a;
  a.result = plugin().GetStreamUrl(id, url, error);
  a.url = url.value;
  a.error = error.value;
  return a;
}

std::vector<std::string> TestHost::menu(const char *trackId) {
  MenuRecorder r;
  plugin().GetContextMenu(trackId, &r);
  return r.labels;
}

hostabi::HRESULT TestHost::choose(const char *trackId, unsigned long index) {
  return plugin().OnContextMenu(trackId, index);
}

std::vector<std::string> TestHost::folderMenu(const char *folderId) {
  MenuRecorder r;
  plugin().GetFolderContextMenu(folderId, &r);
  return r.labels;
}

hostabi::HRESULT TestHost::folderChoose(const char *folderId, unsigned long index) {
  return plugin().OnFolderContextMenu(folderId, index);
}

bool TestHost::signedIn() { return plugin().IsLogged() == 0; }

}  // namespace tvoz_test
