#include "plugin/TvozSource.h"

#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <sys/stat.h>

#include "account/signin.h"
#include "account/tokens.h"
#include "actions/folder_menu.h"
#include "actions/track_menu.h"
#include "catalogue/folders.h"
#include "catalogue/stream.h"
#include "catalogue/tracks.h"
#include "plugin/local_files.h"
#include "plugin/update_check.h"

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

}  // namespace

HRESULT TvozSource::OnLoad() {
  return hostCall(S_OK, [] {
    ::mkdir(supportDir().c_str(), 0755);
    ::mkdir(cacheDir().c_str(), 0755);
    loadTokens();
    startUpdateCheck();
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
    static std::string iconPath;
    static std::mutex iconMutex;
    std::lock_guard<std::mutex> lock(iconMutex);
    if (iconPath.empty()) {
      Dl_info image;
      if (::dladdr(reinterpret_cast<void *>(&tvoz_icon_anchor), &image) != 0 &&
          image.dli_fname != nullptr) {
        iconPath = iconPathForImage(image.dli_fname);
      }
    }
    struct stat st;
    if (!iconPath.empty() && ::stat(iconPath.c_str(), &st) == 0 && st.st_size > 0) {
      info->Bitmap = const_cast<char *>(iconPath.c_str());
    }
    return S_OK;
  });
}

HRESULT TvozSource::IsLogged() {
  return hostCall(S_FALSE, [] { return isSignedIn() ? S_OK : S_FALSE; });
}

HRESULT TvozSource::OnLogin() {
  return hostCall(S_OK, [] { return startLogin(); });
}

HRESULT TvozSource::OnLogout() {
  return hostCall(S_OK, [] {
    clearTokens();
    return S_OK;
  });
}

HRESULT TvozSource::OnOAuth(const char *accessToken, ULONG expiresIn, const char *refreshToken,
                            const char *code, const char *errorMessage) {
  return hostCall(S_OK, [=] {
    return onOAuth(accessToken, expiresIn, refreshToken, code, errorMessage);
  });
}

HRESULT TvozSource::OnSearch(const char *search, IVdjTracksList *tracks) {
  return hostCall(S_OK, [=] { return searchTracks(search, tracks); });
}

HRESULT TvozSource::OnSearchCancel() { return S_OK; }

HRESULT TvozSource::GetStreamUrl(const char *uniqueId, IVdjString &url, IVdjString &errorMessage) {
  return hostCall(S_FALSE, [&] { return streamUrl(uniqueId, url, errorMessage); });
}

HRESULT TvozSource::GetFolderList(IVdjSubfoldersList *subfoldersList) {
  return hostCall(S_OK, [=] { return listFolders(subfoldersList); });
}

HRESULT TvozSource::GetFolder(const char *folderUniqueId, IVdjTracksList *tracks) {
  return hostCall(S_OK, [=] { return openFolder(folderUniqueId, tracks); });
}

HRESULT TvozSource::GetContextMenu(const char *uniqueId, IVdjContextMenu *menu) {
  return hostCall(S_OK, [=] { return buildTrackMenu(uniqueId, menu); });
}

HRESULT TvozSource::OnContextMenu(const char *uniqueId, ULONG menuIndex) {
  return hostCall(S_OK, [=] { return runTrackMenu(uniqueId, menuIndex); });
}

HRESULT TvozSource::GetFolderContextMenu(const char *folderUniqueId, IVdjContextMenu *menu) {
  return hostCall(S_OK, [=] { return buildFolderMenu(folderUniqueId, menu); });
}

HRESULT TvozSource::OnFolderContextMenu(const char *folderUniqueId, ULONG menuIndex) {
  return hostCall(S_OK, [=] { return runFolderMenu(folderUniqueId, menuIndex); });
}

}  // namespace tvoz

extern "C" VDJ_EXPORT HRESULT DllGetClassObject(const GUID &rclsid, const GUID &riid,
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
