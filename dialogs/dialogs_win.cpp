// The dialogs on Windows, with the texts, buttons and answers of the macOS
// ones. The alert, the confirmation and the prompt are one small dialog built
// in memory (no resource file, and user32 alone, so nothing depends on which
// common-controls version the host has loaded); the folder picker is the
// system's folder dialog.
//
// Win32 runs a modal dialog on the calling thread with a message loop of its
// own, so any thread may ask. The host's window becomes the owner (and is
// disabled meanwhile) only when the dialog runs on that window's own thread:
// disabling another thread's window waits on that thread, which may itself
// be waiting for this one. From other threads the dialog stands alone, on top.
//
// Where nobody can see a window, a dialog answers at once as if dismissed, as
// the Linux ones do without zenity: the alert's text goes to stderr, the
// confirmation answers no, the prompt and the picker answer nothing. That is
// a window station that is not visible (a service), and Wine without an X11
// or Wayland display, whose windows are drawn nowhere and would wait forever.
#include <cstdio>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include "core/win_text.h"
#include "dialogs/dialogs.h"

namespace {

constexpr const wchar_t *kTitle = L"Tornavoz";
constexpr WORD kTextId = 100;
constexpr WORD kEditId = 101;

bool someoneCanSee() {
  USEROBJECTFLAGS flags{};
  if (::GetUserObjectInformationW(::GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                  nullptr) &&
      !(flags.dwFlags & WSF_VISIBLE)) {
    return false;
  }
  const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  return !wine || ::GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) > 0 ||
         ::GetEnvironmentVariableW(L"WAYLAND_DISPLAY", nullptr, 0) > 0;
}

// The host's window in front, when this thread is the one that runs it.
HWND ownerOnThisThread() {
  HWND front = ::GetForegroundWindow();
  if (!front || ::GetWindowThreadProcessId(front, nullptr) != ::GetCurrentThreadId())
    return nullptr;
  return ::GetAncestor(front, GA_ROOTOWNER);
}

// A dialog template in memory, in the layout DialogBoxIndirectParamW reads:
// the dialog's header, then each control on a DWORD boundary.
class DialogTemplate {
 public:
  DialogTemplate(short width, short height, WORD controls) {
    dword(DS_MODALFRAME | DS_SHELLFONT | DS_CENTER | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION |
          WS_SYSMENU);
    dword(0);
    word(controls);
    for (short value : {short(0), short(0), width, height}) word(static_cast<WORD>(value));
    word(0);  // no menu
    word(0);  // the standard dialog class
    text(kTitle);
    word(8);  // points
    text(L"MS Shell Dlg");
  }
  void control(DWORD style, short x, short y, short width, short height, WORD id, WORD kind,
               const wchar_t *label) {
    if (data_.size() % 2) word(0);
    dword(style | WS_CHILD | WS_VISIBLE);
    dword(0);
    for (short value : {x, y, width, height}) word(static_cast<WORD>(value));
    word(id);
    word(0xFFFF);  // a system class, by its atom
    word(kind);
    text(label);
    word(0);  // no creation data
  }
  const DLGTEMPLATE *get() const { return reinterpret_cast<const DLGTEMPLATE *>(data_.data()); }

  static constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;

 private:
  void word(WORD w) { data_.push_back(w); }
  void dword(DWORD d) {
    word(LOWORD(d));
    word(HIWORD(d));
  }
  void text(const wchar_t *s) {
    do {
      word(*s);
    } while (*s++);
  }
  std::vector<WORD> data_;  // WORD-sized items; the vector's storage is aligned for the DWORDs
};

struct Ask {
  std::wstring body;
  std::wstring firstButton;
  std::wstring cancelButton;  // empty: the first button alone
  bool withField = false;
  std::wstring field;  // the initial text, then what was typed
};

// Grows the text to fit its words and moves what lies below it down.
void fitText(HWND dialog, const std::wstring &body) {
  HWND label = ::GetDlgItem(dialog, kTextId);
  RECT rect;
  ::GetWindowRect(label, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  RECT need{0, 0, width, 0};
  HDC dc = ::GetDC(label);
  HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0)));
  ::DrawTextW(dc, body.c_str(), -1, &need,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
  ::SelectObject(dc, old);
  ::ReleaseDC(label, dc);
  const int grow = need.bottom - height;
  if (grow <= 0) return;
  ::SetWindowPos(label, nullptr, 0, 0, width, height + grow, SWP_NOMOVE | SWP_NOZORDER);
  for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (child == label) continue;
    RECT r;
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT *>(&r), 2);
    ::SetWindowPos(child, nullptr, r.left, r.top + grow, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  RECT frame;
  ::GetWindowRect(dialog, &frame);
  ::SetWindowPos(dialog, nullptr, frame.left, frame.top - grow / 2, frame.right - frame.left,
                 frame.bottom - frame.top + grow, SWP_NOZORDER);
}

INT_PTR CALLBACK askProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto *ask = reinterpret_cast<Ask *>(lParam);
      ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      fitText(dialog, ask->body);
      if (!ask->withField) return TRUE;
      HWND field = ::GetDlgItem(dialog, kEditId);
      ::SetWindowTextW(field, ask->field.c_str());
      ::SendMessageW(field, EM_SETSEL, 0, -1);
      ::SetFocus(field);  // typing goes to the field at once
      return FALSE;
    }
    case WM_COMMAND: {
      const WORD id = LOWORD(wParam);
      if (id != IDOK && id != IDCANCEL) return FALSE;
      auto *ask = reinterpret_cast<Ask *>(::GetWindowLongPtrW(dialog, DWLP_USER));
      if (id == IDOK && ask->withField) {
        HWND field = ::GetDlgItem(dialog, kEditId);
        std::wstring typed(static_cast<size_t>(::GetWindowTextLengthW(field)) + 1, L'\0');
        typed.resize(static_cast<size_t>(
            ::GetWindowTextW(field, typed.data(), static_cast<int>(typed.size()))));
        ask->field = typed;
      }
      ::EndDialog(dialog, id);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

// True when the DJ pressed the first button; false for the other one, the
// close box, Escape, or when the dialog could not be shown.
bool ask(Ask &question) {
  constexpr short kWidth = 250, kMargin = 10, kButtonWidth = 54, kButtonHeight = 14;
  const bool two = !question.cancelButton.empty();
  short y = kMargin + 8 + 8;
  const WORD controls = static_cast<WORD>(2 + (two ? 1 : 0) + (question.withField ? 1 : 0));
  short height = static_cast<short>(y + (question.withField ? 20 : 0) + kButtonHeight + kMargin);
  DialogTemplate form(kWidth, height, controls);
  form.control(SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, kMargin, kMargin, kWidth - 2 * kMargin, 8,
               kTextId, DialogTemplate::kStatic, question.body.c_str());
  if (question.withField) {
    form.control(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, kMargin, y, kWidth - 2 * kMargin, 13,
                 kEditId, DialogTemplate::kEdit, L"");
    y = static_cast<short>(y + 20);
  }
  short x = static_cast<short>(kWidth - kMargin - kButtonWidth);
  if (two) {
    form.control(BS_PUSHBUTTON | WS_TABSTOP, x, y, kButtonWidth, kButtonHeight, IDCANCEL,
                 DialogTemplate::kButton, question.cancelButton.c_str());
    x = static_cast<short>(x - kButtonWidth - 6);
  }
  form.control(BS_DEFPUSHBUTTON | WS_TABSTOP, x, y, kButtonWidth, kButtonHeight, IDOK,
               DialogTemplate::kButton, question.firstButton.c_str());
  // Tab order follows creation; the first button comes first from the keyboard.
  INT_PTR answer =
      ::DialogBoxIndirectParamW(::GetModuleHandleW(nullptr), form.get(), ownerOnThisThread(),
                                askProc, reinterpret_cast<LPARAM>(&question));
  return answer == IDOK;
}

std::wstring orDefault(const char *text, const char *fallback) {
  return tvoz::widen(text ? text : fallback);
}

// A text answer kept in `result`, or null when there is none.
const char *keep(std::string &result, std::mutex &guard, const std::wstring *answer) {
  std::lock_guard<std::mutex> lock(guard);
  result = answer ? tvoz::narrow(*answer) : std::string();
  return result.empty() ? nullptr : result.c_str();
}

template <class T>
struct ComRelease {
  void operator()(T *p) const { p->Release(); }
};
template <class T>
using Com = std::unique_ptr<T, ComRelease<T>>;

// The system's folder dialog on this thread, which must be in a
// single-threaded apartment; the chosen folder's path, or nothing.
std::wstring pickFolderHere() {
  IFileOpenDialog *raw = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&raw)))) {
    return L"";
  }
  Com<IFileOpenDialog> dialog(raw);
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  // Folders only, one of them, on disk; the dialog's own button makes new ones.
  dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
  dialog->SetTitle(kTitle);
  dialog->SetOkButtonLabel(L"Elegir");
  IFileDialogCustomize *custom = nullptr;
  if (SUCCEEDED(dialog->QueryInterface(IID_PPV_ARGS(&custom)))) {
    custom->AddText(1, L"Carpeta donde se guardan las canciones para tocar sin internet");
    custom->Release();
  }
  if (FAILED(dialog->Show(ownerOnThisThread()))) return L"";  // cancelled, or no dialog
  IShellItem *item = nullptr;
  if (FAILED(dialog->GetResult(&item))) return L"";
  Com<IShellItem> chosen(item);
  PWSTR path = nullptr;
  std::wstring out;
  if (SUCCEEDED(chosen->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path) out = path;
  ::CoTaskMemFree(path);
  return out;
}

std::wstring pickFolder() {
  HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  if (SUCCEEDED(com)) {
    std::wstring path = pickFolderHere();
    ::CoUninitialize();
    return path;
  }
  // The host put this thread in the multithreaded apartment, where the
  // dialog cannot run: it runs on a thread of its own while this one waits.
  std::wstring path;
  std::thread([&path] {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
      return;
    path = pickFolderHere();
    ::CoUninitialize();
  }).join();
  return path;
}

}  // namespace

void tvoz_alert_mac(const char *text) {
  try {
    Ask question{orDefault(text, ""), L"OK", L"", false, L""};
    if (!someoneCanSee()) {
      std::fprintf(stderr, "Tornavoz: %s\n", text ? text : "");
      return;
    }
    ask(question);
  } catch (...) {
  }
}

bool tvoz_confirm_mac(const char *text) {
  try {
    if (!someoneCanSee()) return false;
    Ask question{orDefault(text, "¿Confirmar?"), L"Borrar", L"Cancelar", false, L""};
    return ask(question);
  } catch (...) {
    return false;
  }
}

const char *tvoz_prompt_text_mac(const char *prompt, const char *initial) {
  static std::string &result = *new std::string;
  static std::mutex &guard = *new std::mutex;
  try {
    if (!someoneCanSee()) return keep(result, guard, nullptr);
    Ask question{orDefault(prompt, "Nombre"), L"Crear", L"Cancelar", true, orDefault(initial, "")};
    const bool created = ask(question);
    return keep(result, guard, created ? &question.field : nullptr);
  } catch (...) {
    return nullptr;
  }
}

const char *tvoz_pick_folder_mac() {
  static std::string &result = *new std::string;
  static std::mutex &guard = *new std::mutex;
  try {
    if (!someoneCanSee()) return keep(result, guard, nullptr);
    const std::wstring path = pickFolder();
    return keep(result, guard, &path);
  } catch (...) {
    return nullptr;
  }
}
