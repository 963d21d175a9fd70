#include "catalogue/tracks.h"

#include <mutex>
#include <utility>

#include "core/state.h"
#include "service/api.h"
#include "service/url.h"

namespace tvoz {

namespace {

std::vector<TrackEntry> listAnswer(const HttpResult &answer) {
  if (answer.status != 200) return {};
  return listTracksBody(answer.body);
}

}  // namespace

std::vector<TrackEntry> listTracksBody(const std::string &body) {
  std::vector<TrackEntry> out;
  auto root = parseJson(body);
  if (!root) return out;
  try {
    // Moved out, not copied as memberOf would: copying a long listing costs
    // about as much as parsing it. Same outcome: a null root or a missing
    // member gives null, any other root throws.
    json tracks = std::move((*root)["tracks"]);
    addTracks(tracks, out);
  } catch (const json::exception &) {
  }
  return out;
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

    std::string name = t.artist.empty() ? t.title : t.artist + " - " + t.title;
    {
      std::lock_guard<std::mutex> lock(g_trackMutex);
      g_trackNames[t.id] = std::move(name);
      // A bad "ext" ends the listing here: the name above stays recorded,
      // the extension and the host's entry do not happen.
      g_trackExt[t.id] = readString(track, "ext", "mp3");
    }
    out.push_back(std::move(t));
  });
}

std::vector<TrackEntry> openFolder(const std::string &folderId) {
  {
    std::lock_guard<std::mutex> lock(g_trackMutex);
    g_lastFolder = folderId;
  }
  return listAnswer(apiGet("/vdj/tracks?genero=" + urlEscape(folderId)));
}

std::vector<TrackEntry> searchTracks(const std::string &text) {
  return listAnswer(apiGet("/vdj/tracks?q=" + urlEscape(text)));
}

}  // namespace tvoz
