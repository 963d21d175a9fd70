// What the plug-in does to files, in one place per platform (fs_posix.cpp,
// fs_win.cpp). Paths are UTF-8 everywhere. Any thread; nothing here throws
// except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tvoz {

// Where the plug-in keeps its own files ("<HOME>/Library/Application
// Support/VirtualDJ", HOME being "/tmp" when unset), and where saved tracks
// go unless the DJ chose another folder ("<HOME>/Music/Tornavoz"). No
// trailing separator.
std::string supportDir();
std::string defaultOfflineDir();

// Creates one folder level, never its parents; false when it could not (it
// exists already, a parent is missing).
bool makeDir(const std::string &path);
bool removeFile(const std::string &path);
// Size in bytes (links followed), or -1 when the path cannot be examined.
int64_t fileSize(const std::string &path);
// True when the path can be examined and holds more than 0 bytes.
inline bool fileExists(const std::string &path) { return fileSize(path) > 0; }

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::string &path);

// Writes `content` to a new file beside `path` (named path + kTempMark +
// six characters) and renames it over `path`, so that readers see the old or
// the new file whole, never a part. The file is readable by its owner only
// when `ownerOnly`, by everyone otherwise. On any failure the old file is left
// as it was and false is returned.
constexpr const char *kTempMark = ".tmp-";
bool writeFileAtomic(const std::string &path, const std::string &content, bool ownerOnly);

// Appends `text` in one write, so lines from several threads never mix;
// false when the file cannot be opened or written.
bool appendToFile(const std::string &path, const std::string &text);

// The names in a folder with their age in seconds (since the last change);
// empty when the folder cannot be read.
struct DirEntry {
  std::string name;
  int64_t ageSeconds = 0;
};
std::vector<DirEntry> listDir(const std::string &dir);

// A new file that a download streams into: hidden in `dir` (so the final
// rename cannot cross file systems) under kPartPrefix and six characters,
// removed unless it was moved into place.
constexpr const char *kPartPrefix = ".tvoz-download-";
class PartFile {
 public:
  explicit PartFile(const std::string &dir);
  ~PartFile();
  PartFile(const PartFile &) = delete;
  PartFile &operator=(const PartFile &) = delete;

  bool ok() const;
  // False when the bytes could not all be written (a full disk).
  bool write(const char *data, size_t size);
  // Closes the file; false when any write or the final flush failed.
  bool close();
  // The closed file's path and size (-1 once moved or when it cannot be read).
  const std::string &path() const;
  int64_t size() const;
  // Appends the bytes of the closed part file `rest` to this closed one.
  bool append(const PartFile &rest);
  // True when the closed file holds something and now lies at `target`. An
  // existing `target` is never replaced: the move then fails.
  bool moveTo(const std::string &target);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tvoz
