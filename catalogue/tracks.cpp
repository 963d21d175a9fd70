#include "catalogue/tracks.h"

#include <mutex>
#include <string>
#include <utility>

#include "plugin/state.h"
#include "service/api.h"
#include "service/url.h"

namespace tvoz {

namespace {

// Null for an empty text: the host shows a missing field as no field at all.
const char *orNull(const std::string &text) { return text.empty() ? nullptr : text.c_str(); }

void listAnswer(const HttpResult &answer, IVdjTracksList *list) {
  if (answer.status == 200) listTracksBody(answer.body, list);
}

}  // namespace

void listTracksBody(const std::string &body, IVdjTracksList *list) {
  auto root = parseJson(body);
  if (!root) return;
  try {
    // Moved out, not copied as memberOf would: copying a long listing costs
    // about as much as parsing it. Same outcome: a null root or a missing
    // member gives null, any other root throws.
    json tracks = std::move((*root)["tracks"]);
    addTracks(tracks, list);
  } catch (const json::exception &) {
  }
}

void addTracks(const json &tracks, IVdjTracksList *list) {
  forEachElement(tracks, [list](const json &track) {
    const std::string id = readString(track, "id");
    const std::string title = readString(track, "title");
    const std::string artist = readString(track, "artist");
    const std::string remix = readString(track, "remix");
    const std::string genre = readString(track, "genre");
    const std::string cover = readString(track, "cover");
    const float bpm = readFloat(track, "bpm");
    const int32_t video = readInt32(track, "video");
    // The host takes the id up to a NUL byte: it would know such a track by
    // the id of another one, and act on that one from its menu.
    if (id.empty() || id.find('\0') != std::string::npos) return;

    std::string name = artist.empty() ? title : artist + " - " + title;
    {
      std::lock_guard<std::mutex> lock(g_trackMutex);
      g_trackNames[id] = std::move(name);
      // A bad "ext" ends the listing here: the name above stays recorded,
      // the extension and the host's entry do not happen.
      g_trackExt[id] = readString(track, "ext", "mp3");
    }
    if (list == nullptr) return;
    list->add(id.c_str(), title.c_str(), artist.c_str(), orNull(remix), orNull(genre),
              /*label=*/nullptr, /*comment=*/nullptr, orNull(cover), /*streamUrl=*/nullptr,
              /*length=*/0.0f, bpm, /*key=*/0, /*year=*/0, video != 0, /*isKaraoke=*/false);
  });
}

HRESULT openFolder(const char *folderId, IVdjTracksList *list) {
  const std::string id = folderId ? folderId : "";
  {
    std::lock_guard<std::mutex> lock(g_trackMutex);
    g_lastFolder = id;
  }
  listAnswer(apiGet("/vdj/tracks?genero=" + urlEscape(id)), list);
  return S_OK;
}

HRESULT searchTracks(const char *text, IVdjTracksList *list) {
  const std::string query = text ? text : "";
  listAnswer(apiGet("/vdj/tracks?q=" + urlEscape(query)), list);
  return S_OK;
}

}  // namespace tvoz
