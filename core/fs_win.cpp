// The file layer on Windows. Paths arrive as UTF-8 with "/" or "\" between
// their parts (the portable code joins with "/", which Windows accepts) and
// reach Windows as UTF-16. No handle made here is inherited by a program the
// host starts.
#include "core/fs.h"

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "core/platform.h"
#include "core/win_text.h"

namespace tvoz {

namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~FileHandle() { close(); }
  FileHandle(FileHandle &&other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
  FileHandle &operator=(FileHandle &&other) noexcept {
    if (this != &other) {
      close();
      h_ = other.h_;
      other.h_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  // False when there was nothing to close or closing reported an error.
  bool close() {
    if (!ok()) return false;
    bool closed = ::CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE h_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Windows refuses a path of MAX_PATH characters or more unless it comes in
// the "\\?\" form, which Windows takes literally; so a long path is first
// made absolute and normalised by Windows itself ("/" to "\", "." and ".."
// resolved). The 12 spare characters are what folder creation keeps back.
std::wstring winPath(const std::string &path) {
  std::wstring wide = widen(path);
  if (wide.size() < MAX_PATH - 12 || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return wide;
  full.resize(n);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

bool writeAll(HANDLE h, const char *p, size_t left) {
  while (left > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

// Six letters and digits, the shape the start-up sweep recognises.
std::string randomSuffix() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6];
  if (!randomBytes(bytes, sizeof bytes)) {
    std::random_device rd;
    for (auto &b : bytes) b = static_cast<unsigned char>(rd());
  }
  std::string out;
  for (unsigned char b : bytes) out += kChars[b % 62];
  return out;
}

// A new file at prefix + six random characters, never an existing one;
// `path` tells which name it got.
FileHandle createUnique(const std::string &prefix, SECURITY_ATTRIBUTES *security, DWORD attributes,
                        std::string &path) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    path = prefix + randomSuffix();
    HANDLE h = ::CreateFileW(winPath(path).c_str(), GENERIC_WRITE, 0, security, CREATE_NEW,
                             attributes, nullptr);
    if (h != INVALID_HANDLE_VALUE) return FileHandle(h);
    if (::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  path.clear();
  return FileHandle();
}

// Moves `from` to `to` with MoveFileExW's `flags`. A virus scanner or the
// search indexer may hold a file for a moment, which Windows reports as a
// refusal, so a refused move is tried again briefly before it counts as failed.
bool moveFile(const std::string &from, const std::string &to, DWORD flags) {
  const std::wstring source = winPath(from), target = winPath(to);
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(source.c_str(), target.c_str(), flags)) return true;
    DWORD error = ::GetLastError();
    if (attempt == 4 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

// Renames `from` over `to`.
bool replaceFile(const std::string &from, const std::string &to) {
  return moveFile(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// The security of a file only the current user may open: a protected DACL
// (nothing inherited from the folder) with one entry for that user. This is
// what mode 0600 is elsewhere.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    bool got = size > 0 && ::GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    ::CloseHandle(token);
    if (!got) return;
    PSID sid = reinterpret_cast<TOKEN_USER *>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid));
    auto *acl = reinterpret_cast<ACL *>(acl_.data());
    ok_ = ::InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
          ::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
          ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
          ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
          ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
  }
  OwnerOnly(const OwnerOnly &) = delete;
  OwnerOnly &operator=(const OwnerOnly &) = delete;

  // Null when the user's identity could not be had.
  SECURITY_ATTRIBUTES *attributes() { return ok_ ? &attributes_ : nullptr; }

 private:
  std::vector<unsigned char> user_;  // TOKEN_USER, which holds the SID the ACL points at
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ok_ = false;
};

// A known folder of the user's profile; the temporary folder when Windows
// cannot tell (as "/tmp" stands in for a missing HOME elsewhere).
std::string knownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::string out;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)) && path) {
    out = narrow(path, std::wcslen(path));
  }
  ::CoTaskMemFree(path);
  if (out.empty()) {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    if (n > 0 && n <= MAX_PATH) out = narrow(temp, n);
    while (!out.empty() && (out.back() == '\\' || out.back() == '/')) out.pop_back();
  }
  return out;
}

}  // namespace

std::string supportDir() { return knownFolder(FOLDERID_Documents) + "\\VirtualDJ"; }

std::string defaultOfflineDir() { return knownFolder(FOLDERID_Music) + "\\Tornavoz"; }

bool makeDir(const std::string &path) {
  return ::CreateDirectoryW(winPath(path).c_str(), nullptr) != 0;
}

bool removeFile(const std::string &path) { return ::DeleteFileW(winPath(path).c_str()) != 0; }

int64_t fileSize(const std::string &path) {
  const std::wstring wide = winPath(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link: the size is its target's, as stat() follows links.
    FileHandle h(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    LARGE_INTEGER size;
    if (!h.ok() || !::GetFileSizeEx(h.get(), &size)) return -1;
    return size.QuadPart;
  }
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::string> readWholeFile(const std::string &path) {
  FileHandle h(::CreateFileW(winPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) return std::nullopt;
  std::string out;
  char buffer[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(h.get(), buffer, sizeof buffer, &got, nullptr)) return std::nullopt;
    if (got == 0) return out;
    out.append(buffer, got);
  }
}

bool writeFileAtomic(const std::string &path, const std::string &content, bool ownerOnly) {
  std::unique_ptr<OwnerOnly> owner;
  SECURITY_ATTRIBUTES *security = nullptr;
  if (ownerOnly) {
    owner = std::make_unique<OwnerOnly>();
    security = owner->attributes();
    if (!security) return false;  // never write credentials that others could read
  }
  std::string temp;
  FileHandle h = createUnique(path + kTempMark, security, FILE_ATTRIBUTE_NORMAL, temp);
  if (!h.ok()) return false;
  bool ok = writeAll(h.get(), content.data(), content.size()) && ::FlushFileBuffers(h.get());
  ok = h.close() && ok;
  if (ok && replaceFile(temp, path)) return true;
  ::DeleteFileW(winPath(temp).c_str());
  return false;
}

bool appendToFile(const std::string &path, const std::string &text) {
  // Append access alone: Windows puts every write at the end of the file,
  // whoever else is appending.
  FileHandle h(::CreateFileW(winPath(path).c_str(), FILE_APPEND_DATA, kShareAll, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) return false;
  bool ok = writeAll(h.get(), text.data(), text.size());
  return h.close() && ok;
}

std::vector<DirEntry> listDir(const std::string &dir) {
  std::vector<DirEntry> out;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileExW(winPath(dir + "\\*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return out;
  FILETIME nowTime;
  ::GetSystemTimeAsFileTime(&nowTime);
  auto ticks = [](const FILETIME &t) {  // 100 ns since 1601
    return (static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  const int64_t now = ticks(nowTime);
  do {
    std::string name = narrow(data.cFileName, std::wcslen(data.cFileName));
    if (name == "." || name == "..") continue;
    out.push_back({std::move(name), (now - ticks(data.ftLastWriteTime)) / 10000000});
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return out;
}

struct PartFile::Impl {
  // libcurl's counterpart hands over 16 KiB at a time; a larger buffer
  // writes the disk in fewer, bigger pieces.
  static constexpr size_t kBufferBytes = 1 << 20;
  std::string path;
  FileHandle file;
  std::unique_ptr<char[]> buffer;
  size_t used = 0;
  bool failed = false;

  bool flush() {
    if (used > 0 && !writeAll(file.get(), buffer.get(), used)) failed = true;
    used = 0;
    return !failed;
  }
};

PartFile::PartFile(const std::string &dir) : impl_(new Impl) {
  // Hidden while it grows, as the leading dot hides it elsewhere; moveTo
  // shows it again.
  impl_->file = createUnique(dir + "/" + kPartPrefix, nullptr, FILE_ATTRIBUTE_HIDDEN, impl_->path);
  if (impl_->file.ok()) impl_->buffer.reset(new (std::nothrow) char[Impl::kBufferBytes]);
}

PartFile::~PartFile() {
  impl_->file.close();
  if (!impl_->path.empty()) ::DeleteFileW(winPath(impl_->path).c_str());
}

bool PartFile::ok() const { return impl_->file.ok(); }

bool PartFile::write(const char *data, size_t size) {
  Impl &f = *impl_;
  if (!f.file.ok() || f.failed) return false;
  if (f.used + size > Impl::kBufferBytes && !f.flush()) return false;
  if (!f.buffer || size >= Impl::kBufferBytes) {
    f.failed = !writeAll(f.file.get(), data, size);
    return !f.failed;
  }
  std::copy(data, data + size, f.buffer.get() + f.used);
  f.used += size;
  return true;
}

bool PartFile::close() {
  if (!impl_->file.ok()) return false;
  bool ok = impl_->flush();
  return impl_->file.close() && ok;
}

const std::string &PartFile::path() const { return impl_->path; }

int64_t PartFile::size() const { return impl_->path.empty() ? -1 : fileSize(impl_->path); }

bool PartFile::append(const PartFile &rest) {
  if (impl_->file.ok() || rest.impl_->file.ok() || impl_->path.empty() || rest.impl_->path.empty()) {
    return false;
  }
  FileHandle in(::CreateFileW(winPath(rest.impl_->path).c_str(), GENERIC_READ, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  FileHandle out(::CreateFileW(winPath(impl_->path).c_str(), FILE_APPEND_DATA, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in.ok() || !out.ok()) return false;
  std::vector<char> buffer(Impl::kBufferBytes);
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) return false;
    if (n == 0) break;
    if (!writeAll(out.get(), buffer.data(), n)) return false;
  }
  return out.close();
}

bool PartFile::moveTo(const std::string &target) {
  if (impl_->path.empty() || impl_->file.ok() || !fileExists(impl_->path)) return false;
  ::SetFileAttributesW(winPath(impl_->path).c_str(), FILE_ATTRIBUTE_NORMAL);
  // Without MOVEFILE_REPLACE_EXISTING an existing target (the DJ's own file)
  // makes the move fail instead of being replaced.
  if (!moveFile(impl_->path, target, MOVEFILE_WRITE_THROUGH)) {
    ::SetFileAttributesW(winPath(impl_->path).c_str(), FILE_ATTRIBUTE_HIDDEN);
    return false;
  }
  impl_->path.clear();
  return true;
}

}  // namespace tvoz
