// The demo service's record pool: a fixed, generated catalogue of made-up
// tracks in eight genre folders, and the one demo user's library (favourites
// and playlists) that the plug-in's actions change while the service runs.
//
// The catalogue is built once in the constructor and never changes, so the
// track look-ups need no lock; the library is guarded by one mutex. Every
// member function may be called from any of the server's threads.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace demo {

using json = nlohmann::json;

struct Genre {
  std::string id;    // folder id, e.g. "cumbia-lunar"
  std::string name;  // shown name, e.g. "Cumbia Lunar"
  std::string colour;
  bool video = false;
};

struct Track {
  std::string id;  // "t001" ... stable across runs
  std::string title, artist, remix, ext;
  size_t genre = 0;  // index into genres()
  float bpm = 0;
  double toneHz = 440;  // the pitch of its generated audio
};

// What the service answers: an HTTP status and a JSON body.
struct Reply {
  int status = 200;
  json body;
};

class Catalogue {
 public:
  // `origin` ("http://127.0.0.1:PORT") goes into the cover and stream URLs.
  explicit Catalogue(std::string origin);

  const std::vector<Genre> &genres() const { return genres_; }
  const std::vector<Track> &tracks() const { return tracks_; }
  // Null for an unknown id.
  const Track *track(const std::string &id) const;
  const Genre *genre(const std::string &id) const;

  // The folder list: genres, then "@fav", then one "@crate:N" per playlist.
  json folders() const;
  // The tracks of a genre, "@fav" or "@crate:N" folder; 404 when unknown.
  Reply folderTracks(const std::string &folderId) const;
  // Tracks whose title, artist, remix or genre holds `text`, ignoring case
  // and the accents of Spanish; at most 50.
  json search(const std::string &text) const;

  json crates() const;
  Reply favourite(const std::string &file, const std::string &action);
  // crate "new" creates a playlist named `name` holding the track.
  Reply crateAdd(const std::string &crate, const std::string &file, const std::string &name);
  Reply crateRemove(const std::string &crate, const std::string &file);
  Reply crateDelete(const std::string &crate);
  Reply played(const std::string &file);

  // The address the plug-in hands to the host's deck for a track.
  std::string streamUrl(const Track &t) const;

 private:
  struct Crate {
    int id = 0;
    std::string name;
    std::vector<std::string> files;
  };

  json trackJson(const Track &t) const;
  // The playlist named by a decimal id; null when there is none. Caller holds mutex_.
  Crate *findCrate(const std::string &id);
  const Crate *findCrate(const std::string &id) const;

  std::string origin_;
  std::vector<Genre> genres_;
  std::vector<Track> tracks_;
  std::map<std::string, size_t> byId_;

  mutable std::mutex mutex_;
  std::vector<std::string> favourites_;
  std::vector<Crate> crates_;
  int nextCrate_ = 1;
  std::map<std::string, int> plays_;
};


}  // namespace demo
