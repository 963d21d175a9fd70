#include "tools/host_win/host_objects.h"

namespace hostwin {

namespace {

Text text(const char *s) { return s ? Text(s) : std::nullopt; }

HRESULT addFolder(void *self, const char *id, const char *name) {
  static_cast<FolderList *>(self)->rows.push_back({id ? id : "", name ? name : ""});
  return 0;
}

HRESULT addTrack(void *self, const char *id, const char *title, const char *artist,
                 const char *remix, const char *genre, const char *label, const char *comment,
                 const char *cover, const char *streamUrl, float length, float bpm, int key,
                 int year, unsigned char isVideo, unsigned char isKaraoke) {
  static_cast<TrackList *>(self)->rows.push_back(
      {text(id), text(title), text(artist), text(remix), text(genre), text(label), text(comment),
       text(cover), text(streamUrl), length, bpm, key, year, isVideo, isKaraoke});
  return 0;
}

HRESULT addLabel(void *self, const char *label) {
  static_cast<ContextMenu *>(self)->labels.push_back(label ? label : "");
  return 0;
}

HRESULT setString(void *self, const char *value) {
  auto *s = static_cast<HostString *>(self);
  ++s->calls;
  s->value = text(value);
  return 0;
}

const SubfoldersTable kFolders = {addFolder};
const TracksTable kTracks = {addTrack};
const ContextMenuTable kMenu = {addLabel};
const StringTable kString = {setString};

}  // namespace

FolderList::FolderList() : table(&kFolders) {}
TrackList::TrackList() : table(&kTracks) {}
ContextMenu::ContextMenu() : table(&kMenu) {}
HostString::HostString() : table(&kString) {}

}  // namespace hostwin
