// The objects the simulated host hands to the plug-in: each a struct whose
// first member points at its table of C functions (msvc_abi.h), recording
// every call into plain values. Used on the host's one thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/host_win/msvc_abi.h"

namespace hostwin {

using Text = std::optional<std::string>;  // nothing: the plug-in passed a null pointer

struct FolderRow {
  std::string id, name;
};

struct TrackRow {
  Text id, title, artist, remix, genre, label, comment, cover, streamUrl;
  float length = -1, bpm = -1;
  int key = -1, year = -1;
  unsigned char video = 0xFF, karaoke = 0xFF;
};

struct FolderList {
  const SubfoldersTable *table;
  std::vector<FolderRow> rows;
  FolderList();
};

struct TrackList {
  const TracksTable *table;
  std::vector<TrackRow> rows;
  TrackList();
};

struct ContextMenu {
  const ContextMenuTable *table;
  std::vector<std::string> labels;
  ContextMenu();
};

struct HostString {
  const StringTable *table;
  int calls = 0;
  Text value;
  HostString();
};

}  // namespace hostwin
