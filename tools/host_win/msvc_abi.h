// The plug-in interface as a host built with MSVC sees it, written as plain
// C function-pointer tables and apart from plugin/vdj_sdk.h: this simulator
// is built by the same compiler as the DLL, so calling through the project's
// own C++ classes would share any mistake in them. On x64 Windows a member
// function receives its object as a hidden first argument in the first
// integer register, exactly as a C function's first parameter, so slot i of
// these tables is the call a real host makes through slot i.
#pragma once

#include <cstdint>

namespace hostwin {

using HRESULT = int32_t;  // MSVC's long: 32 bits

struct Guid {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};

constexpr Guid kClsidVdjPlugin8 = {
    0xED8A8D87, 0xF4F9, 0x4DCD, {0xBD, 0x24, 0x29, 0x14, 0x12, 0xE9, 0x3B, 0x60}};
constexpr Guid kIidVdjPluginBasic8 = {
    0xA1D90EA1, 0x4D0D, 0x42DD, {0xA4, 0xD0, 0xB8, 0xF3, 0x37, 0xB3, 0x21, 0xF1}};

using DllGetClassObjectFn = HRESULT (*)(const Guid *clsid, const Guid *iid, void **object);

// MSVC gives the virtual destructor ONE slot (3): the deleting destructor,
// whose bit 0 of `flags` frees the memory. Every later slot is one lower than
// in the g++ layout of macOS and Linux.
//
// The ULONG arguments (OnOAuth's lifetime, the menu indexes) are 32 bits to
// MSVC; the callee must read only the lower half of their register, whose
// upper half is left as it was. They are declared 64 bits wide here so that
// the simulator can fill that upper half with garbage on purpose.
struct PluginTable {
  HRESULT (*OnLoad)(void *self);                                             // 0
  HRESULT (*OnGetPluginInfo)(void *self, void *info);                        // 1
  HRESULT (*Release)(void *self);                                            // 2
  void *(*DeletingDestructor)(void *self, unsigned int flags);               // 3
  HRESULT (*OnParameter)(void *self, int id);                                // 4
  HRESULT (*OnGetParameterString)(void *self, int id, char *out, int size);  // 5
  HRESULT (*OnGetUserInterface)(void *self, void *ui);                       // 6
  HRESULT (*IsLogged)(void *self);                                           // 7
  HRESULT (*OnLogin)(void *self);                                            // 8
  HRESULT (*OnLogout)(void *self);                                           // 9
  HRESULT(*OnOAuth)
  (void *self, const char *access, uint64_t expiresIn, const char *refresh, const char *code,
   const char *error);                                                          // 10
  HRESULT (*OnSearch)(void *self, const char *text, void *tracks);              // 11
  HRESULT (*OnSearchCancel)(void *self);                                        // 12
  HRESULT (*GetStreamUrl)(void *self, const char *id, void *url, void *error);  // 13
  HRESULT (*GetFolderList)(void *self, void *folders);                          // 14
  HRESULT (*GetFolder)(void *self, const char *id, void *tracks);               // 15
  HRESULT (*GetContextMenu)(void *self, const char *id, void *menu);            // 16
  HRESULT (*OnContextMenu)(void *self, const char *id, uint64_t index);         // 17
  HRESULT (*GetFolderContextMenu)(void *self, const char *id, void *menu);      // 18
  HRESULT (*OnFolderContextMenu)(void *self, const char *id, uint64_t index);   // 19
};

struct PluginObject {
  const PluginTable *table;
};

// The host's objects, each with one operation in slot 0 whose first
// arguments are texts. IVdjString's set(text), IVdjContextMenu's add(label)
// and IVdjTracksList's add(id, title, ...) are read here by their first text,
// IVdjSubfoldersList's add(id, name) by both: an x64 callee may leave its
// later arguments unread.
struct OneText {
  HRESULT (*add)(void *self, const char *text);
};
struct TwoTexts {
  HRESULT (*add)(void *self, const char *first, const char *second);
};

}  // namespace hostwin
