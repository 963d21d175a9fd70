#include "core/fs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <new>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tvoz {

namespace {

bool writeAll(int fd, const char *p, size_t left) {
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// $HOME, or "/tmp" when HOME is not set (an empty HOME is used as it is).
std::string homeDir() {
  const char *home = std::getenv("HOME");
  return home ? std::string(home) : std::string("/tmp");
}

}  // namespace

std::string supportDir() { return homeDir() + "/Library/Application Support/VirtualDJ"; }

std::string defaultOfflineDir() { return homeDir() + "/Music/Tornavoz"; }

bool makeDir(const std::string &path) { return ::mkdir(path.c_str(), 0755) == 0; }

bool removeFile(const std::string &path) { return ::unlink(path.c_str()) == 0; }

int64_t fileSize(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::optional<std::string> readWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return buffer.str();
}

bool writeFileAtomic(const std::string &path, const std::string &content, bool ownerOnly) {
  std::string tmpl = path + kTempMark + "XXXXXX";
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, ownerOnly ? 0600 : 0644) == 0 &&
            writeAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmpl.c_str());
  return false;
}

bool appendToFile(const std::string &path, const std::string &text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text.data(), text.size());
  return (::close(fd) == 0) && ok;
}

std::vector<DirEntry> listDir(const std::string &dir) {
  std::vector<DirEntry> out;
  DIR *d = ::opendir(dir.c_str());
  if (!d) return out;
  const time_t now = std::time(nullptr);
  while (dirent *e = ::readdir(d)) {
    struct stat st;
    std::string name = e->d_name;
    if (name == "." || name == ".." || ::lstat((dir + "/" + name).c_str(), &st) != 0) continue;
    out.push_back({std::move(name), static_cast<int64_t>(now - st.st_mtime)});
  }
  ::closedir(d);
  return out;
}

struct PartFile::Impl {
  // libcurl hands over 16 KiB at a time; a larger buffer writes the disk in
  // fewer, bigger pieces.
  static constexpr size_t kBufferBytes = 1 << 20;
  std::string path;
  FILE *file = nullptr;
  std::unique_ptr<char[]> buffer;  // the stream's buffer; freed after the stream is closed
};

PartFile::PartFile(const std::string &dir) : impl_(new Impl) {
  impl_->path = dir + "/" + kPartPrefix + "XXXXXX";
  int fd = ::mkostemp(impl_->path.data(), O_CLOEXEC);
  if (fd < 0) {
    impl_->path.clear();
    return;
  }
  ::fchmod(fd, 0644);  // an ordinary media file, not a private one
  impl_->file = ::fdopen(fd, "wb");
  if (!impl_->file) {
    ::close(fd);
    return;
  }
  impl_->buffer.reset(new (std::nothrow) char[Impl::kBufferBytes]);
  if (impl_->buffer) std::setvbuf(impl_->file, impl_->buffer.get(), _IOFBF, Impl::kBufferBytes);
}

PartFile::~PartFile() {
  if (impl_->file) std::fclose(impl_->file);
  if (!impl_->path.empty()) ::unlink(impl_->path.c_str());
}

bool PartFile::ok() const { return impl_->file != nullptr; }

bool PartFile::write(const char *data, size_t size) {
  return impl_->file && std::fwrite(data, 1, size, impl_->file) == size;
}

bool PartFile::close() {
  if (!impl_->file) return false;
  bool ok = !std::ferror(impl_->file);
  ok = std::fclose(impl_->file) == 0 && ok;
  impl_->file = nullptr;
  return ok;
}

const std::string &PartFile::path() const { return impl_->path; }

int64_t PartFile::size() const { return impl_->path.empty() ? -1 : fileSize(impl_->path); }

bool PartFile::append(const PartFile &rest) {
  if (impl_->file || rest.impl_->file || impl_->path.empty() || rest.impl_->path.empty()) return false;
  std::unique_ptr<FILE, int (*)(FILE *)> in(std::fopen(rest.impl_->path.c_str(), "rbe"), &std::fclose);
  // Never created again: appended to a part file that vanished, the rest of
  // a track would pass for the whole of it.
  const int fd = ::open(impl_->path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  std::unique_ptr<FILE, int (*)(FILE *)> out(fd < 0 ? nullptr : ::fdopen(fd, "ab"), &std::fclose);
  if (fd >= 0 && !out) ::close(fd);
  if (!in || !out) return false;
  std::vector<char> buffer(Impl::kBufferBytes);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
    if (std::fwrite(buffer.data(), 1, n, out.get()) != n) return false;
  }
  return !std::ferror(in.get()) && std::fclose(out.release()) == 0;
}

bool PartFile::moveTo(const std::string &target) {
  if (impl_->path.empty() || impl_->file || !fileExists(impl_->path)) return false;
  // A hard link fails when the target exists, so nobody's file is ever
  // replaced. File systems without links (FAT and exFAT drives) get a rename
  // after a check: a file could only slip in between on purpose.
  if (::link(impl_->path.c_str(), target.c_str()) == 0) {
    ::unlink(impl_->path.c_str());
  } else if (errno == EEXIST || fileSize(target) >= 0 ||
             ::rename(impl_->path.c_str(), target.c_str()) != 0) {
    return false;
  }
  impl_->path.clear();
  return true;
}

}  // namespace tvoz
