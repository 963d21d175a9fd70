#include "plugin/TvozSource.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "account/signin.h"
#include "actions/folder_menu.h"
#include "actions/track_menu.h"
#include "catalogue/folders.h"
#include "catalogue/stream.h"
#include "catalogue/tracks.h"
#include "core/local_files.h"
#include "core/platform.h"
#include "offline/save_queue.h"
#include "plugin/sweep.h"
#include "plugin/update_check.h"
#include "service/tokens.h"

namespace tvoz {

namespace {

// The host boundary: whatever goes wrong inside, the host gets `fallback`.
template <class Fn>
HRESULT hostCall(HRESULT fallback, Fn fn) noexcept {
  try {
    return fn();
  } catch (...) {
    return fallback;
  }
}

void tvoz_icon_anchor() {}

constexpr const char *kName = "Tornavoz";
constexpr const char *kDescription = "Tu record pool, en streaming dentro de VirtualDJ.";

// The icon of a bundle whose executable is `imagePath`: the part before the
// last "/MacOS/" + "/Resources/icon.png", or "" outside a bundle.
std::string iconPathForImage(const std::string &imagePath) {
  auto at = imagePath.rfind("/MacOS/");
  if (at == std::string::npos) return "";
  return imagePath.substr(0, at) + "/Resources/icon.png";
}

std::string text(const char *s) { return s ? s : ""; }

// Null for an empty text: the host shows a missing field as no field at all.
const char *orNull(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }

void addTracks(IVdjTracksList *list, const std::vector<TrackEntry> &tracks) {
  if (!list) return;
  for (const auto &t : tracks) {
    list->add(t.id.c_str(), t.title.c_str(), t.artist.c_str(), orNull(t.remix), orNull(t.genre),
              /*label=*/nullptr, /*comment=*/nullptr, orNull(t.cover), /*streamUrl=*/nullptr,
              /*length=*/0.0f, t.bpm, /*key=*/0, /*year=*/0, t.video, /*isKaraoke=*/false);
  }
}

void addLabels(IVdjContextMenu *menu, const std::vector<std::string> &labels) {
  if (!menu) return;
  for (const auto &label : labels) menu->add(label.c_str());
}

}  // namespace

HRESULT TvozSource::OnLoad() {
  return hostCall(S_OK, [] {
    makeDir(supportDir());
    makeDir(cacheDir());
    loadTokens();
    startUpdateCheck();
    startSweep();
    if (isSignedIn()) resumeSaves();
    return S_OK;
  });
}

HRESULT TvozSource::OnGetPluginInfo(TVdjPluginInfo8 *info) {
  return hostCall(S_OK, [info] {
    if (!info) return S_OK;
    info->PluginName = kName;
    info->Author = kName;
    info->Description = kDescription;
    // The host may keep the picture pointer, so the text lives for the process.
    static std::string &iconPath = *new std::string;
    static std::mutex &iconMutex = *new std::mutex;
    std::lock_guard<std::mutex> lock(iconMutex);
    if (iconPath.empty()) {
      iconPath = iconPathForImage(modulePathOf(reinterpret_cast<const void *>(&tvoz_icon_anchor)));
    }
    if (!iconPath.empty() && fileExists(iconPath)) {
      info->Bitmap = const_cast<char *>(iconPath.c_str());
    }
    return S_OK;
  });
}

HRESULT TvozSource::IsLogged() {
  return hostCall(S_FALSE, [] { return isSignedIn() ? S_OK : S_FALSE; });
}

HRESULT TvozSource::OnLogin() {
  return hostCall(S_OK, [] {
    startLogin();
    return S_OK;
  });
}

HRESULT TvozSource::OnLogout() {
  return hostCall(S_OK, [] {
    clearTokens();
    return S_OK;
  });
}

HRESULT TvozSource::OnOAuth(const char *accessToken, ULONG, const char *refreshToken,
                            const char *code, const char *errorMessage) {
  return hostCall(S_OK, [=] {
    onOAuth(accessToken, refreshToken, code, errorMessage);
    return S_OK;
  });
}

HRESULT TvozSource::OnSearch(const char *search, IVdjTracksList *tracks) {
  return hostCall(S_OK, [=] {
    addTracks(tracks, searchTracks(text(search)));
    return S_OK;
  });
}

HRESULT TvozSource::OnSearchCancel() { return S_OK; }

HRESULT TvozSource::GetStreamUrl(const char *uniqueId, IVdjString &url, IVdjString &errorMessage) {
  return hostCall(S_FALSE, [&] {
    const Resolution answer = streamUrl(text(uniqueId));
    if (answer.url.empty()) {
      errorMessage.set(answer.error.c_str());
      return S_FALSE;
    }
    url.set(answer.url.c_str());
    return S_OK;
  });
}

HRESULT TvozSource::GetFolderList(IVdjSubfoldersList *subfoldersList) {
  return hostCall(S_OK, [=] {
    for (const auto &f : listFolders()) {
      if (subfoldersList) subfoldersList->add(f.id.c_str(), f.label.c_str());
    }
    return S_OK;
  });
}

HRESULT TvozSource::GetFolder(const char *folderUniqueId, IVdjTracksList *tracks) {
  return hostCall(S_OK, [=] {
    addTracks(tracks, openFolder(text(folderUniqueId)));
    return S_OK;
  });
}

HRESULT TvozSource::GetContextMenu(const char *uniqueId, IVdjContextMenu *menu) {
  return hostCall(S_OK, [=] {
    addLabels(menu, buildTrackMenu(text(uniqueId)));
    return S_OK;
  });
}

HRESULT TvozSource::OnContextMenu(const char *uniqueId, ULONG menuIndex) {
  return hostCall(S_OK, [=] { return runTrackMenu(text(uniqueId), menuIndex); });
}

HRESULT TvozSource::GetFolderContextMenu(const char *folderUniqueId, IVdjContextMenu *menu) {
  return hostCall(S_OK, [=] {
    addLabels(menu, buildFolderMenu(text(folderUniqueId)));
    return S_OK;
  });
}

HRESULT TvozSource::OnFolderContextMenu(const char *folderUniqueId, ULONG menuIndex) {
  return hostCall(S_OK, [=] {
    runFolderMenu(text(folderUniqueId), menuIndex);
    return S_OK;
  });
}

}  // namespace tvoz

extern "C" TVOZ_EXPORT HRESULT DllGetClassObject(const GUID &rclsid, const GUID &riid,
                                                void **ppObject) {
  if (ppObject == nullptr) return -1;
  if (std::memcmp(&rclsid, &CLSID_VdjPlugin8, sizeof(GUID)) != 0) return -1;
  if (std::memcmp(&riid, &IID_IVdjPluginBasic8, sizeof(GUID)) != 0) return -1;
  try {
    *ppObject = static_cast<IVdjPlugin8 *>(new tvoz::TvozSource());
  } catch (...) {
    return -1;
  }
  return S_OK;
}
