#include "tools/demo_service/catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/text.h"

namespace demo {

namespace {

constexpr size_t kTracksPerGenre = 15;
constexpr size_t kSearchLimit = 50;

// Invented names only: no real artist, label or product.
const char *const kArtists[] = {
    "Los Primos Galaxia", "DJ Caracola",     "La Orquesta Mandarina", "MC Tamarindo",
    "Valeria Nube",       "Trío Albahaca",   "Chispa Morena",         "El Niño Cometa",
    "Banda Arrecife Azul", "Lola Manglar",   "Sonido Pitaya",         "Dúo Calabaza",
};
const char *const kTitleStart[] = {
    "Luna",  "Fuego",   "Marea",  "Canela",  "Tormenta", "Brisa",     "Azúcar",  "Farol",
    "Sombra", "Cometa", "Lluvia", "Caracol", "Guayaba",  "Neblina", "Relámpago", "Corazón",
};
const char *const kTitleEnd[] = {
    "de Papel",      "Lenta",   "en la Azotea", "Sin Frenos", "de Medianoche",
    "del Puerto",    "Dorada",  "Salvaje",      "de Cristal", "Tropical",
    "en Bicicleta",  "del Sur", "Eléctrica",
};
const char *const kRemixes[] = {"",          "Extended Mix", "",          "Remix Tropical",
                                "Intro Edit", "",            "Club Edit", "Acapella In",
                                ""};

template <class T, size_t N>
constexpr size_t countOf(const T (&)[N]) {
  return N;
}

std::string threeDigits(size_t n) {
  char text[8];
  std::snprintf(text, sizeof text, "%03zu", n % 1000);
  return text;
}

Reply error(int status, const std::string &message) { return {status, {{"message", message}}}; }

Reply ok() { return {200, {{"ok", true}}}; }

// The playlist with the decimal id `id` in `crates`, or null.
template <class Crates>
auto crateIn(Crates &crates, const std::string &id) -> decltype(&crates.front()) {
  for (auto &c : crates) {
    if (std::to_string(c.id) == id) return &c;
  }
  return nullptr;
}

}  // namespace

Catalogue::Catalogue(std::string origin) : origin_(std::move(origin)) {
  genres_ = {
      {"cumbia-lunar", "Cumbia Lunar", "#2b6cb0", false},
      {"salsa-de-azotea", "Salsa de Azotea", "#c53030", false},
      {"bachata-nocturna", "Bachata Nocturna", "#6b46c1", false},
      {"dembow-marino", "Dembow Marino", "#2c7a7b", false},
      {"merengue-electrico", "Merengue Eléctrico", "#d69e2e", false},
      {"tropi-house-costero", "Tropi House Costero", "#38a169", false},
      {"rumba-de-barrio", "Rumba de Barrio", "#dd6b20", false},
      {"videos-de-verbena", "Vídeos de Verbena", "#b83280", true},
  };
  // Each genre's tempo range: its lowest BPM and how far above it tracks go.
  const float bpmBase[] = {92, 96, 122, 110, 140, 118, 100, 96};
  const int bpmSpan[] = {9, 12, 11, 9, 19, 7, 11, 33};

  for (size_t g = 0; g < genres_.size(); ++g) {
    for (size_t k = 0; k < kTracksPerGenre; ++k) {
      size_t i = g * kTracksPerGenre + k;
      Track t;
      t.id = "t" + threeDigits(i + 1);
      t.genre = g;
      t.title = std::string(kTitleStart[(i * 5 + g) % countOf(kTitleStart)]) + " " +
                kTitleEnd[(i * 3 + i / countOf(kTitleStart)) % countOf(kTitleEnd)];
      t.artist = kArtists[(i * 7 + g) % countOf(kArtists)];
      if (i % 9 == 4) t.artist += std::string(" feat. ") + kArtists[(i + 5) % countOf(kArtists)];
      t.remix = genres_[g].video ? (k % 2 ? "Video Edit" : "Clean Video") : kRemixes[i % countOf(kRemixes)];
      t.bpm = bpmBase[g] + static_cast<float>((i * 7) % bpmSpan[g]) + (i % 4 == 0 ? 0.5f : 0.0f);
      // The media is always WAV; the extensions vary so that offline names do.
      t.ext = genres_[g].video ? "mp4" : (i % 4 == 1 ? "mp3" : (i % 7 == 2 ? "m4a" : "wav"));
      t.toneHz = 220.0 * std::pow(2.0, static_cast<double>((i * 5) % 24) / 12.0);
      byId_[t.id] = tracks_.size();
      tracks_.push_back(std::move(t));
    }
  }

  favourites_ = {"t003", "t017", "t034", "t052", "t071"};
  crates_ = {{1, "Boda del sábado", {"t002", "t018", "t046", "t063"}},
             {2, "Calentamiento", {"t005", "t020", "t081"}}};
  nextCrate_ = 3;
}

const Track *Catalogue::track(const std::string &id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : &tracks_[it->second];
}

const Genre *Catalogue::genre(const std::string &id) const {
  for (const auto &g : genres_) {
    if (g.id == id) return &g;
  }
  return nullptr;
}

std::string Catalogue::streamUrl(const Track &t) const {
  return origin_ + "/demo/media/" + t.id + ".wav";
}

json Catalogue::trackJson(const Track &t) const {
  const Genre &g = genres_[t.genre];
  return {{"id", t.id},
          {"title", t.title},
          {"artist", t.artist},
          {"remix", t.remix},
          {"genre", g.name},
          {"cover", origin_ + "/demo/cover/" + g.id + ".svg"},
          {"bpm", t.bpm},
          {"video", g.video ? 1 : 0},
          {"ext", t.ext}};
}

json Catalogue::folders() const {
  json list = json::array();
  for (size_t g = 0; g < genres_.size(); ++g) {
    list.push_back({{"id", genres_[g].id}, {"name", genres_[g].name}, {"count", kTracksPerGenre}});
  }
  std::lock_guard<std::mutex> lock(mutex_);
  list.push_back({{"id", "@fav"}, {"name", "Me gusta"}, {"count", favourites_.size()}});
  for (const auto &c : crates_) {
    list.push_back(
        {{"id", "@crate:" + std::to_string(c.id)}, {"name", c.name}, {"count", c.files.size()}});
  }
  return {{"folders", list}};
}

Reply Catalogue::folderTracks(const std::string &folderId) const {
  json list = json::array();
  auto addAll = [&](const std::vector<std::string> &ids) {
    for (const auto &id : ids) {
      if (const Track *t = track(id)) list.push_back(trackJson(*t));
    }
  };
  if (folderId == "@fav") {
    std::lock_guard<std::mutex> lock(mutex_);
    addAll(favourites_);
  } else if (folderId.rfind("@crate:", 0) == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Crate *c = findCrate(folderId.substr(7));
    if (!c) return error(404, "Esa playlist no existe.");
    addAll(c->files);
  } else {
    const Genre *g = genre(folderId);
    if (!g) return error(404, "Esa carpeta no existe.");
    for (const auto &t : tracks_) {
      if (&genres_[t.genre] == g) list.push_back(trackJson(t));
    }
  }
  return {200, {{"tracks", list}}};
}

json Catalogue::search(const std::string &text) const {
  json list = json::array();
  std::string needle = tvoz::foldForSearch(text);
  if (needle.empty()) return {{"tracks", list}};
  for (const auto &t : tracks_) {
    std::string hay = tvoz::foldForSearch(t.title + "\n" + t.artist + "\n" + t.remix + "\n" +
                                    genres_[t.genre].name);
    if (hay.find(needle) != std::string::npos) list.push_back(trackJson(t));
    if (list.size() == kSearchLimit) break;
  }
  return {{"tracks", list}};
}

json Catalogue::crates() const {
  json list = json::array();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto &c : crates_) list.push_back({{"id", c.id}, {"name", c.name}});
  return {{"crates", list}};
}

Catalogue::Crate *Catalogue::findCrate(const std::string &id) { return crateIn(crates_, id); }

const Catalogue::Crate *Catalogue::findCrate(const std::string &id) const {
  return crateIn(crates_, id);
}

Reply Catalogue::favourite(const std::string &file, const std::string &action) {
  if (!track(file)) return error(404, "Esa canción no existe.");
  if (action != "add" && action != "remove") return error(400, "action debe ser add o remove.");
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(favourites_.begin(), favourites_.end(), file);
  if (action == "add" && it == favourites_.end()) favourites_.push_back(file);
  if (action == "remove" && it != favourites_.end()) favourites_.erase(it);
  return ok();
}

Reply Catalogue::crateAdd(const std::string &crate, const std::string &file,
                          const std::string &name) {
  if (!track(file)) return error(404, "Esa canción no existe.");
  std::lock_guard<std::mutex> lock(mutex_);
  Crate *c = nullptr;
  if (crate == "new") {
    if (name.empty()) return error(400, "La playlist nueva necesita un nombre.");
    crates_.push_back({nextCrate_++, name, {}});
    c = &crates_.back();
  } else {
    c = findCrate(crate);
    if (!c) return error(404, "Esa playlist no existe.");
  }
  if (std::find(c->files.begin(), c->files.end(), file) == c->files.end()) {
    c->files.push_back(file);
  }
  return {200, {{"ok", true}, {"crate", c->id}}};
}

Reply Catalogue::crateRemove(const std::string &crate, const std::string &file) {
  std::lock_guard<std::mutex> lock(mutex_);
  Crate *c = findCrate(crate);
  if (!c) return error(404, "Esa playlist no existe.");
  c->files.erase(std::remove(c->files.begin(), c->files.end(), file), c->files.end());
  return ok();
}

Reply Catalogue::crateDelete(const std::string &crate) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(crates_.begin(), crates_.end(),
                         [&](const Crate &c) { return std::to_string(c.id) == crate; });
  if (it == crates_.end()) return error(404, "Esa playlist no existe.");
  crates_.erase(it);
  return ok();
}

Reply Catalogue::played(const std::string &file) {
  if (!track(file)) return error(404, "Esa canción no existe.");
  std::lock_guard<std::mutex> lock(mutex_);
  return {200, {{"ok", true}, {"plays", ++plays_[file]}}};
}

}  // namespace demo
