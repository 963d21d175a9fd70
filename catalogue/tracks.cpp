#include "catalogue/tracks.h"

#include <mutex>
#include <optional>
#include <utility>

#include "core/state.h"
#include "core/text.h"
#include "offline/saved_tracks.h"
#include "service/api.h"
#include "service/url.h"

namespace tvoz {

namespace {

std::string displayName(const TrackEntry &t) {
  return t.artist.empty() ? t.title : t.artist + " - " + t.title;
}

// The listing of a body; nothing when it is not a JSON object at all.
std::optional<std::vector<TrackEntry>> readBody(const std::string &body) {
  auto root = parseJson(body);
  if (!root || !root->is_object()) return std::nullopt;
  std::vector<TrackEntry> out;
  try {
    // Moved out, not copied: copying a long listing costs about as much as
    // parsing it. A missing member gives null, which lists nothing.
    json tracks = std::move((*root)["tracks"]);
    addTracks(tracks, out);
  } catch (const json::exception &) {
  }
  return out;
}

// The listing of an answer; nothing when it brought no usable answer (a
// failed request, a status other than 200, a body that is not an object).
std::optional<std::vector<TrackEntry>> readAnswer(const HttpResult &answer) {
  if (answer.status != 200) return std::nullopt;
  return readBody(answer.body);
}

// The saved tracks as a listing, recorded as a listing records its tracks
// so that the track menu and the removal work on them.
std::vector<TrackEntry> listSaved(const std::string &text) {
  const std::string needle = foldForSearch(text);
  std::vector<TrackEntry> out;
  for (auto &saved : savedTracks()) {
    TrackEntry &t = saved.track;
    if (foldForSearch(t.title).find(needle) == std::string::npos &&
        foldForSearch(t.artist).find(needle) == std::string::npos) {
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(g_trackMutex);
      g_trackNames[t.id] = displayName(t);
      g_trackExt[t.id] = saved.ext;
      g_trackFields[t.id] = t;
    }
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace

std::vector<TrackEntry> listTracksBody(const std::string &body) {
  return readBody(body).value_or(std::vector<TrackEntry>());
}

void addTracks(const json &tracks, std::vector<TrackEntry> &out) {
  forEachElement(tracks, [&out](const json &track) {
    TrackEntry t;
    t.id = readString(track, "id");
    t.title = readString(track, "title");
    t.artist = readString(track, "artist");
    t.remix = readString(track, "remix");
    t.genre = readString(track, "genre");
    t.cover = readString(track, "cover");
    t.bpm = readFloat(track, "bpm");
    t.video = readInt32(track, "video") != 0;
    // The host takes the id up to a NUL byte: it would know such a track by
    // the id of another one, and act on that one from its menu.
    if (t.id.empty() || t.id.find('\0') != std::string::npos) return;

    {
      std::lock_guard<std::mutex> lock(g_trackMutex);
      g_trackNames[t.id] = displayName(t);
      // A bad "ext" ends the listing here: the name above stays recorded,
      // the extension and the host's entry do not happen.
      g_trackExt[t.id] = readString(track, "ext", "mp3");
      g_trackFields[t.id] = t;
    }
    out.push_back(std::move(t));
  });
}

std::vector<TrackEntry> openFolder(const std::string &folderId) {
  {
    std::lock_guard<std::mutex> lock(g_trackMutex);
    g_lastFolder = folderId;
  }
  if (folderId == kOfflineFolder) return listSaved("");
  return folderTracks(folderId).value_or(std::vector<TrackEntry>());
}

std::optional<std::vector<TrackEntry>> folderTracks(const std::string &folderId) {
  return readAnswer(apiGet("/vdj/tracks?genero=" + urlEscape(folderId)));
}

std::vector<TrackEntry> searchTracks(const std::string &text) {
  auto found = readAnswer(apiGet("/vdj/tracks?q=" + urlEscape(text)));
  return found ? std::move(*found) : listSaved(text);
}

}  // namespace tvoz
