// The host's plug-in interfaces, as the plug-in sees them.
//
// The host has its own copy of these declarations and calls every operation
// by its position in the virtual table, so the order of the virtual functions
// and of their arguments is binding: moving one breaks the plug-in in the
// field without any compiler noticing. Layout assumptions: LP64, Itanium C++
// ABI (macOS and Linux); on Windows, the layout the host's compiler (MSVC)
// gives, which differs in the two places marked _WIN32 below. A translation
// unit that includes this header must not see <windows.h>, whose COM headers
// declare their own GUID, HRESULT and DllGetClassObject.
#pragma once

#include <cstdint>

#include "core/export.h"

typedef int32_t HRESULT;
#if defined(_WIN32)
// Windows is LLP64: the host's ULONG is 32 bits, and the upper half of the
// register that carries one holds whatever was there before.
typedef uint32_t ULONG;
#else
typedef unsigned long ULONG;
#endif

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

// {ED8A8D87-F4F9-4DCD-BD24-291412E93B60}
static const GUID CLSID_VdjPlugin8 = {
    0xED8A8D87, 0xF4F9, 0x4DCD, {0xBD, 0x24, 0x29, 0x14, 0x12, 0xE9, 0x3B, 0x60}};
// {A1D90EA1-4D0D-42DD-A4D0-B8F337B321F1}
static const GUID IID_IVdjPluginBasic8 = {
    0xA1D90EA1, 0x4D0D, 0x42DD, {0xA4, 0xD0, 0xB8, 0xF3, 0x37, 0xB3, 0x21, 0xF1}};

// The host may have more fields after these; the plug-in never touches them.
struct TVdjPluginInfo8 {
  const char *PluginName;
  const char *Author;
  const char *Description;
  const char *Version;
  void *Bitmap;
  uint32_t Flags;
};

struct TVdjPluginInterface8;

// Host objects handed to the plug-in for the length of one call.
class IVdjSubfoldersList {
 public:
  virtual HRESULT add(const char *folderUniqueId, const char *folderName) = 0;
};

class IVdjTracksList {
 public:
  virtual HRESULT add(const char *uniqueId, const char *title, const char *artist,
                      const char *remix, const char *genre, const char *label,
                      const char *comment, const char *coverUrl, const char *streamUrl,
                      float length, float bpm, int key, int year, bool isVideo,
                      bool isKaraoke) = 0;
};

class IVdjContextMenu {
 public:
  virtual HRESULT add(const char *label) = 0;
};

class IVdjString {
 public:
  virtual HRESULT set(const char *text) = 0;
};

#if defined(_WIN32)
// Slots 0-6. MSVC gives a virtual destructor one slot, the deleting
// destructor, where g++ gives it two; a g++ (mingw) destructor here would
// put every later operation one slot off the host's table. So slot 3 is a
// plain virtual function with the deleting destructor's signature and
// meaning: it destroys the object, frees its memory when bit 0 of `flags` is
// set, and returns the object's address. The destructor itself is not
// virtual; the class that implements DeletingDestructor is the last one
// derived and deletes itself there.
class IVdjPlugin8 {
 public:
  virtual HRESULT OnLoad() { return S_OK; }
  virtual HRESULT OnGetPluginInfo(TVdjPluginInfo8 *) { return E_NOTIMPL; }
  virtual HRESULT Release() {
    DeletingDestructor(1);
    return S_OK;
  }
  virtual void *DeletingDestructor(unsigned int flags) = 0;
#else
// Slots 0-7. The destructor takes slots 3 (complete) and 4 (deleting).
class IVdjPlugin8 {
 public:
  virtual HRESULT OnLoad() { return S_OK; }
  virtual HRESULT OnGetPluginInfo(TVdjPluginInfo8 *) { return E_NOTIMPL; }
  virtual HRESULT Release() {
    delete this;
    return S_OK;
  }
  virtual ~IVdjPlugin8() {}
#endif
  virtual HRESULT OnParameter(int) { return S_OK; }
  virtual HRESULT OnGetParameterString(int, char *, int) { return E_NOTIMPL; }
  virtual HRESULT OnGetUserInterface(TVdjPluginInterface8 *) { return E_NOTIMPL; }

  void *vcb = nullptr;  // the host's; the plug-in never reads or writes it

#if defined(_WIN32)
 protected:
  ~IVdjPlugin8() = default;  // only DeletingDestructor ends an object
#endif
};

// Slots 8-20 (7-19 on Windows).
class IVdjPluginOnlineSource : public IVdjPlugin8 {
 public:
  virtual HRESULT IsLogged() { return E_NOTIMPL; }
  virtual HRESULT OnLogin() { return E_NOTIMPL; }
  virtual HRESULT OnLogout() { return E_NOTIMPL; }
  virtual HRESULT OnOAuth(const char * /*accessToken*/, ULONG /*expiresIn*/,
                          const char * /*refreshToken*/, const char * /*code*/,
                          const char * /*errorMessage*/) {
    return E_NOTIMPL;
  }
  virtual HRESULT OnSearch(const char * /*search*/, IVdjTracksList * /*tracks*/) {
    return E_NOTIMPL;
  }
  virtual HRESULT OnSearchCancel() { return E_NOTIMPL; }
  virtual HRESULT GetStreamUrl(const char * /*uniqueId*/, IVdjString & /*url*/,
                               IVdjString & /*errorMessage*/) {
    return E_NOTIMPL;
  }
  virtual HRESULT GetFolderList(IVdjSubfoldersList * /*subfoldersList*/) { return E_NOTIMPL; }
  virtual HRESULT GetFolder(const char * /*folderUniqueId*/, IVdjTracksList * /*tracks*/) {
    return E_NOTIMPL;
  }
  virtual HRESULT GetContextMenu(const char * /*uniqueId*/, IVdjContextMenu * /*menu*/) {
    return E_NOTIMPL;
  }
  virtual HRESULT OnContextMenu(const char * /*uniqueId*/, ULONG /*menuIndex*/) {
    return E_NOTIMPL;
  }
  virtual HRESULT GetFolderContextMenu(const char * /*folderUniqueId*/,
                                       IVdjContextMenu * /*menu*/) {
    return E_NOTIMPL;
  }
  virtual HRESULT OnFolderContextMenu(const char * /*folderUniqueId*/, ULONG /*menuIndex*/) {
    return E_NOTIMPL;
  }
};

extern "C" TVOZ_EXPORT HRESULT DllGetClassObject(const GUID &rclsid, const GUID &riid,
                                                void **ppObject);
