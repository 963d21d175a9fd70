// The plug-in's own files in the support folder: the configuration and the
// log; and the offline folder the DJ chose. Nothing is cached: every call
// reads or writes the disk again. Any thread; nothing here throws.
#pragma once

#include <string>

#include "core/fs.h"
#include "core/json_fields.h"

namespace tvoz {

// The configured offline_dir when not empty, else defaultOfflineDir().
std::string cacheDir();

// The configuration file as an object; missing, unreadable or damaged reads
// as an empty object.
json loadConfigJson();
// A member's string value; absent or not a string reads as empty.
std::string configGet(const std::string &key);
// Sets one member and rewrites the file whole; other members are kept.
// Failures are silent.
void configSet(const std::string &key, const std::string &value);

// Appends message + "\n" to the log; dropped silently when it cannot be written.
// A line that would take the log past 1 MiB is written together with its last
// 512 KiB or so, from the start of a line, in place of the old file (one whole
// rewrite): the log keeps its latest lines whole and stays under 1 MiB, but for
// a single line longer than that.
void logLine(const std::string &message);

}  // namespace tvoz
