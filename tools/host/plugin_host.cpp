#include "tools/host/plugin_host.h"

#include <dlfcn.h>
#include <stdexcept>

namespace host {

namespace {

Text text(const char *s) { return s ? Text(s) : std::nullopt; }

class FolderSink : public hostabi::SubfoldersList {
 public:
  HRESULT add(const char *id, const char *name) override {
    rows.push_back({id ? id : "", name ? name : ""});
    return 0;
  }
  std::vector<FolderRow> rows;
};

class TrackSink : public hostabi::TracksList {
 public:
  HRESULT add(const char *uniqueId, const char *title, const char *artist, const char *remix,
              const char *genre, const char *label, const char *comment, const char *coverUrl,
              const char *streamUrl, float length, float bpm, int key, int year, bool isVideo,
              bool isKaraoke) override {
    rows.push_back({text(uniqueId), text(title), text(artist), text(remix), text(genre),
                    text(label), text(comment), text(coverUrl), text(streamUrl), length, bpm, key,
                    year, isVideo, isKaraoke});
    return 0;
  }
  std::vector<TrackRow> rows;
};

class MenuSink : public hostabi::ContextMenu {
 public:
  HRESULT add(const char *label) override {
    labels.push_back(label ? label : "");
    return 0;
  }
  std::vector<std::string> labels;
};

class StringSink : public hostabi::String {
 public:
  HRESULT set(const char *t) override {
    value = text(t);
    return 0;
  }
  Text value;
};

}  // namespace

PluginHost::PluginHost(const std::string &modulePath) {
  module_ = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module_) throw std::runtime_error(std::string("cannot load the plug-in: ") + ::dlerror());
  entry_ = reinterpret_cast<hostabi::DllGetClassObjectFn>(::dlsym(module_, "DllGetClassObject"));
  if (!entry_) throw std::runtime_error("the module does not export DllGetClassObject");
}

PluginHost::~PluginHost() {
  for (auto *p : created_) p->Release();
}

void PluginHost::unload() {
  for (auto *p : created_) p->Release();
  created_.clear();
  loaded_ = nullptr;
  entry_ = nullptr;
  if (module_) ::dlclose(module_);
  module_ = nullptr;
}

HRESULT PluginHost::create(const hostabi::GUID &clsid, const hostabi::GUID &iid, void **out) {
  return entry_(clsid, iid, out);
}

hostabi::OnlineSource *PluginHost::createPlugin() {
  void *object = nullptr;
  if (create(hostabi::kClsidPlugin8, hostabi::kIidBasic8, &object) != 0 || !object) return nullptr;
  created_.push_back(static_cast<hostabi::OnlineSource *>(object));
  return created_.back();
}

void PluginHost::release(hostabi::OnlineSource *plugin) {
  for (auto it = created_.begin(); it != created_.end(); ++it) {
    if (*it == plugin) {
      created_.erase(it);
      if (loaded_ == plugin) loaded_ = nullptr;
      plugin->Release();
      return;
    }
  }
}

hostabi::OnlineSource &PluginHost::plugin() {
  if (!loaded_) {
    loaded_ = createPlugin();
    if (!loaded_) throw std::runtime_error("DllGetClassObject refused the host's ids");
    loaded_->OnLoad();
  }
  return *loaded_;
}

PluginInfo PluginHost::info() {
  hostabi::PluginInfo record{};
  record.Version = "host";
  plugin().OnGetPluginInfo(&record);
  PluginInfo out;
  out.name = text(record.PluginName);
  out.author = text(record.Author);
  out.description = text(record.Description);
  out.version = text(record.Version);
  out.icon = text(static_cast<const char *>(record.Bitmap));
  return out;
}

bool PluginHost::signedIn() { return plugin().IsLogged() == 0; }

HRESULT PluginHost::login() { return plugin().OnLogin(); }

HRESULT PluginHost::logout() { return plugin().OnLogout(); }

HRESULT PluginHost::oauth(const char *access, const char *refresh, const char *code,
                          const char *error) {
  return plugin().OnOAuth(access, 0, refresh, code, error);
}

std::vector<FolderRow> PluginHost::folders() {
  FolderSink sink;
  plugin().GetFolderList(&sink);
  return sink.rows;
}

std::vector<TrackRow> PluginHost::open(const char *folderId) {
  TrackSink sink;
  plugin().GetFolder(folderId, &sink);
  return sink.rows;
}

std::vector<TrackRow> PluginHost::search(const char *text) {
  TrackSink sink;
  plugin().OnSearch(text, &sink);
  return sink.rows;
}

StreamAnswer PluginHost::play(const char *trackId) {
  StringSink url, error;
  StreamAnswer answer;
  answer.result = plugin().GetStreamUrl(trackId, url, error);
  answer.url = url.value;
  answer.error = error.value;
  return answer;
}

std::vector<std::string> PluginHost::menu(const char *trackId) {
  MenuSink sink;
  plugin().GetContextMenu(trackId, &sink);
  return sink.labels;
}

HRESULT PluginHost::choose(const char *trackId, unsigned long index) {
  return plugin().OnContextMenu(trackId, index);
}

std::vector<std::string> PluginHost::folderMenu(const char *folderId) {
  MenuSink sink;
  plugin().GetFolderContextMenu(folderId, &sink);
  return sink.labels;
}

HRESULT PluginHost::folderChoose(const char *folderId, unsigned long index) {
  return plugin().OnFolderContextMenu(folderId, index);
}

}  // namespace host
