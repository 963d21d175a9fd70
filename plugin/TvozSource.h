// The plug-in object the host holds. It has no state of its own (everything
// shared lives in core/state.h), so any number of objects may exist and all
// of them see the same session. Every operation catches everything: nothing
// thrown inside the plug-in ever reaches the host.
#pragma once

#include "plugin/vdj_sdk.h"

namespace tvoz {

class TvozSource final : public IVdjPluginOnlineSource {
 public:
  HRESULT OnLoad() override;
  HRESULT OnGetPluginInfo(TVdjPluginInfo8 *info) override;
#if defined(_WIN32)
  // The host's one destructor slot (see vdj_sdk.h); the host may call it
  // directly as well as through Release.
  void *DeletingDestructor(unsigned int flags) override {
    if (flags & 1) {
      delete this;
    } else {
      this->~TvozSource();
    }
    return this;
  }
#else
  ~TvozSource() override {}
#endif

  HRESULT IsLogged() override;
  HRESULT OnLogin() override;
  HRESULT OnLogout() override;
  HRESULT OnOAuth(const char *accessToken, ULONG expiresIn, const char *refreshToken,
                  const char *code, const char *errorMessage) override;
  HRESULT OnSearch(const char *search, IVdjTracksList *tracks) override;
  HRESULT OnSearchCancel() override;
  HRESULT GetStreamUrl(const char *uniqueId, IVdjString &url, IVdjString &errorMessage) override;
  HRESULT GetFolderList(IVdjSubfoldersList *subfoldersList) override;
  HRESULT GetFolder(const char *folderUniqueId, IVdjTracksList *tracks) override;
  HRESULT GetContextMenu(const char *uniqueId, IVdjContextMenu *menu) override;
  HRESULT OnContextMenu(const char *uniqueId, ULONG menuIndex) override;
  HRESULT GetFolderContextMenu(const char *folderUniqueId, IVdjContextMenu *menu) override;
  HRESULT OnFolderContextMenu(const char *folderUniqueId, ULONG menuIndex) override;
};

}  // namespace tvoz
