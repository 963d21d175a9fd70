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
              const char *genre, const char *, const char *, const char *coverUrl, const char *,
              float, float bpm, int, int, bool isVideo, bool) override {
    rows.push_back({text(uniqueId), text(title), text(artist), text(remix), text(genre),
                    text(coverUrl), bpm, isVideo});
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
  void *handle = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw std::runtime_error(std::string("cannot load the plug-in: ") + ::dlerror());
  entry_ = reinterpret_cast<hostabi::DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  if (!entry_) throw std::runtime_error("the module does not export DllGetClassObject");
}

hostabi::OnlineSource &PluginHost::plugin() {
  if (!plugin_) {
    void *object = nullptr;
    HRESULT r = entry_(hostabi::kClsidPlugin8, hostabi::kIidBasic8, &object);
    if (r != 0 || !object) {
      throw std::runtime_error("DllGetClassObject refused: " + std::to_string(r));
    }
    plugin_ = static_cast<hostabi::OnlineSource *>(object);
    plugin_->OnLoad();
  }
  return *plugin_;
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

std::vector<TrackRow> PluginHost::open(const std::string &folderId) {
  TrackSink sink;
  plugin().GetFolder(folderId.c_str(), &sink);
  return sink.rows;
}

std::vector<TrackRow> PluginHost::search(const std::string &query) {
  TrackSink sink;
  plugin().OnSearch(query.c_str(), &sink);
  return sink.rows;
}

StreamAnswer PluginHost::play(const std::string &trackId) {
  StringSink url, error;
  StreamAnswer answer;
  answer.result = plugin().GetStreamUrl(trackId.c_str(), url, error);
  answer.url = url.value;
  answer.error = error.value;
  return answer;
}

std::vector<std::string> PluginHost::menu(const std::string &trackId) {
  MenuSink sink;
  plugin().GetContextMenu(trackId.c_str(), &sink);
  return sink.labels;
}

HRESULT PluginHost::choose(const std::string &trackId, unsigned long index) {
  return plugin().OnContextMenu(trackId.c_str(), index);
}

std::vector<std::string> PluginHost::folderMenu(const std::string &folderId) {
  MenuSink sink;
  plugin().GetFolderContextMenu(folderId.c_str(), &sink);
  return sink.labels;
}

HRESULT PluginHost::folderChoose(const std::string &folderId, unsigned long index) {
  return plugin().OnFolderContextMenu(folderId.c_str(), index);
}

}  // namespace host
