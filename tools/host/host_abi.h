// The host's own view of the plug-in interfaces, written apart from
// plugin/vdj_sdk.h on purpose: like a real host, the host simulator calls by slot
// through these declarations, so a slot or argument out of place in the
// plug-in's header shows up as a wrong call here.
#pragma once

#include <cstdint>

namespace hostabi {

typedef int32_t HRESULT;
typedef unsigned long ULONG;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

constexpr GUID kClsidPlugin8 = {0xED8A8D87, 0xF4F9, 0x4DCD,
                                {0xBD, 0x24, 0x29, 0x14, 0x12, 0xE9, 0x3B, 0x60}};
constexpr GUID kIidBasic8 = {0xA1D90EA1, 0x4D0D, 0x42DD,
                             {0xA4, 0xD0, 0xB8, 0xF3, 0x37, 0xB3, 0x21, 0xF1}};

struct PluginInfo {
  const char *PluginName;
  const char *Author;
  const char *Description;
  const char *Version;
  void *Bitmap;
  uint32_t Flags;
  uint32_t hostOnly[4];  // the host's record goes on; the plug-in must not touch it
};

struct SubfoldersList {
  virtual HRESULT add(const char *id, const char *name) = 0;
};
struct TracksList {
  virtual HRESULT add(const char *uniqueId, const char *title, const char *artist,
                      const char *remix, const char *genre, const char *label,
                      const char *comment, const char *coverUrl, const char *streamUrl,
                      float length, float bpm, int key, int year, bool isVideo,
                      bool isKaraoke) = 0;
};
struct ContextMenu {
  virtual HRESULT add(const char *label) = 0;
};
struct String {
  virtual HRESULT set(const char *text) = 0;
};

struct Plugin {
  virtual HRESULT OnLoad() = 0;                                      // 0
  virtual HRESULT OnGetPluginInfo(PluginInfo *info) = 0;             // 1
  virtual HRESULT Release() = 0;                                     // 2
  virtual ~Plugin() {}                                               // 3, 4
  virtual HRESULT OnParameter(int id) = 0;                           // 5
  virtual HRESULT OnGetParameterString(int id, char *out, int n) = 0;  // 6
  virtual HRESULT OnGetUserInterface(void *ui) = 0;                  // 7
  void *vcb;
};

struct OnlineSource : Plugin {
  virtual HRESULT IsLogged() = 0;                                    // 8
  virtual HRESULT OnLogin() = 0;                                     // 9
  virtual HRESULT OnLogout() = 0;                                    // 10
  virtual HRESULT OnOAuth(const char *access, ULONG expires, const char *refresh,
                          const char *code, const char *error) = 0;  // 11
  virtual HRESULT OnSearch(const char *text, TracksList *list) = 0;  // 12
  virtual HRESULT OnSearchCancel() = 0;                              // 13
  virtual HRESULT GetStreamUrl(const char *id, String &url, String &error) = 0;  // 14
  virtual HRESULT GetFolderList(SubfoldersList *list) = 0;           // 15
  virtual HRESULT GetFolder(const char *id, TracksList *list) = 0;   // 16
  virtual HRESULT GetContextMenu(const char *id, ContextMenu *menu) = 0;  // 17
  virtual HRESULT OnContextMenu(const char *id, ULONG index) = 0;    // 18
  virtual HRESULT GetFolderContextMenu(const char *id, ContextMenu *menu) = 0;  // 19
  virtual HRESULT OnFolderContextMenu(const char *id, ULONG index) = 0;  // 20
};

using DllGetClassObjectFn = HRESULT (*)(const GUID &, const GUID &, void **);

}  // namespace hostabi
