// The plug-in's files on disk: the support folder with the configuration, the
// log, the token file and the offline index, and the offline folder with the
// saved tracks. Nothing is cached: every call reads or writes the disk again.
// All functions may be called from any thread and never throw.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#include "plugin/json_fields.h"

namespace tvoz {

// $HOME, or "/tmp" when HOME is not set (an empty HOME is used as it is).
std::string homeDir();
// homeDir() + "/Library/Application Support/VirtualDJ", no trailing separator.
std::string supportDir();
// The configured offline_dir when not empty, else homeDir() + "/Music/Tornavoz".
std::string cacheDir();

// True when stat succeeds and reports more than 0 bytes.
bool fileExists(const std::string &path);

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::string &path);

// Writes `content` to a new file beside `path` and renames it over `path`, so
// that readers see the old or the new file whole, never a part. On any
// failure the old file is left as it was and false is returned.
bool writeFileAtomic(const std::string &path, const std::string &content, mode_t mode);

// The configuration file as an object; missing, unreadable or damaged reads
// as an empty object.
json loadConfigJson();
// A member's string value; absent or not a string reads as empty.
std::string configGet(const std::string &key);
// The same reading of a configuration already loaded.
std::string configValue(const json &config, const std::string &key);
// Sets one member and rewrites the file whole; other members are kept.
// Failures are silent.
void configSet(const std::string &key, const std::string &value);

// Appends message + "\n" to the log; dropped silently when it cannot be written.
void logLine(const std::string &message);

}  // namespace tvoz
