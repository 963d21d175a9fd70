#include "tools/demo_service/routes.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>

#include "tools/demo_service/media.h"

namespace demo {

namespace {

constexpr double kAudioSeconds = 4.0;

using Handler = std::function<void(const httplib::Request &, httplib::Response &)>;

void send(httplib::Response &res, const Reply &reply) {
  res.status = reply.status;
  res.set_content(reply.body.dump(), "application/json; charset=utf-8");
}

void sendMessage(httplib::Response &res, int status, const std::string &message) {
  send(res, {status, {{"message", message}}});
}

void sendHtml(httplib::Response &res, int status, const std::string &title,
              const std::string &text) {
  res.status = status;
  res.set_content("<!doctype html><html><head><meta charset='utf-8'><title>" + title +
                      "</title></head><body style='font-family:sans-serif'><h1>" + title +
                      "</h1><p>" + text + "</p></body></html>",
                  "text/html; charset=utf-8");
}

// The access token of a request: the bearer header, else the query value.
std::string presentedToken(const httplib::Request &req) {
  const std::string header = req.get_header_value("Authorization");
  const std::string bearer = "Bearer ";
  if (header.compare(0, bearer.size(), bearer) == 0) return header.substr(bearer.size());
  return req.get_param_value("access_token");
}

// Wraps an API handler so that it runs only with a valid access token.
Handler authorised(Tokens &tokens, Handler handler) {
  return [&tokens, handler](const httplib::Request &req, httplib::Response &res) {
    switch (tokens.check(presentedToken(req))) {
      case TokenCheck::Valid:
        return handler(req, res);
      case TokenCheck::Missing:
        return sendMessage(res, 401, "Inicia sesión para usar Tornavoz.");
      case TokenCheck::Unknown:
        return sendMessage(res, 401, "Token no válido.");
      case TokenCheck::Expired:
        return sendMessage(res, 401, "Token vencido.");
    }
  };
}

// Runs `fn` with the query value `key`, or answers 400 when it is missing.
template <class Fn>
void withParam(const httplib::Request &req, httplib::Response &res, const char *key, Fn fn) {
  if (!req.has_param(key)) {
    return sendMessage(res, 400, std::string("Falta el parámetro ") + key + ".");
  }
  fn(req.get_param_value(key));
}

bool isLoopbackRedirect(const std::string &uri) {
  for (const char *prefix : {"http://127.0.0.1:", "http://localhost:"}) {
    if (uri.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void signInPage(Tokens &tokens, const httplib::Request &req, httplib::Response &res) {
  if (req.get_param_value("tvoz_vdj_oauth") != "1") {
    return sendHtml(res, 200, "Tornavoz (demo)",
                    "Servicio de demostraci&oacute;n del plug-in Tornavoz.");
  }
  const std::string redirect = req.get_param_value("redirect_uri");
  // A code may only go back to the plug-in's listener on this machine.
  if (!isLoopbackRedirect(redirect)) {
    return sendHtml(res, 400, "Tornavoz", "redirect_uri no permitido.");
  }
  const char glue = redirect.find('?') == std::string::npos ? '?' : '&';
  res.set_redirect(redirect + glue + "code=" + tokens.newCode(), 302);
}

void tokenGrant(Tokens &tokens, const ServiceSettings &settings, const httplib::Request &req,
                httplib::Response &res) {
  httplib::Params form;
  httplib::detail::parse_query_text(req.body, form);
  auto field = [&form](const char *key) {
    auto it = form.find(key);
    return it == form.end() ? std::string() : it->second;
  };
  const std::string grant = field("grant_type");
  std::optional<TokenPair> pair;
  if (grant == "authorization_code") {
    pair = tokens.redeemCode(field("code"));
    if (!pair) return sendMessage(res, 400, "El código de acceso no es válido o ya se usó.");
  } else if (grant == "refresh_token") {
    pair = tokens.refresh(field("refresh_token"));
    if (!pair) return sendMessage(res, 400, "La sesión venció. Vuelve a iniciar sesión.");
  } else {
    return sendMessage(res, 400, "grant_type no admitido.");
  }
  send(res, {200,
             {{"access_token", pair->access},
              {"refresh_token", pair->refresh},
              {"expires_in", settings.tokenLifetime}}});
}

// A track's audio, answered as a file server would. httplib itself answers a
// single "Range: bytes=N-" on the body it is given (206, Content-Range, the
// body from N, also through sendCut's provider), but past the end its 416
// names a range that does not exist; a 416 names only the length.
void sendWav(const httplib::Request &req, httplib::Response &res, Cuts &cuts, const Track &t,
             bool attachment) {
  const std::string wav = sineWav(t.toneHz, kAudioSeconds);
  if (req.ranges.size() == 1 && req.ranges[0].first >= 0 &&
      static_cast<size_t>(req.ranges[0].first) >= wav.size()) {
    res.status = 416;
    res.set_header("Content-Range", "bytes */" + std::to_string(wav.size()));
    return;
  }
  if (auto bytes = cuts.take(t.id)) {
    sendCut(res, wav, *bytes, "audio/wav");
    // Only for the log: the status line alone would not tell that it broke.
    res.set_header(kCutHeader, std::to_string(*bytes));
  } else {
    res.set_content(wav, "audio/wav");
  }
  if (attachment) {
    res.set_header("Content-Disposition", "attachment; filename=\"" + t.id + ".wav\"");
  }
}

}  // namespace

void sendCut(httplib::Response &res, const std::string &body, size_t sent,
             const char *contentType) {
  res.set_content_provider(body.size(), contentType,
                           [body, sent](size_t offset, size_t length, httplib::DataSink &sink) {
                             const size_t n = std::min({sent, length, body.size() - offset});
                             if (n > 0) sink.write(body.data() + offset, n);
                             return false;  // drop the connection
                           });
}

void Cuts::add(const std::string &trackId, size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_[trackId] = bytes;
}

std::optional<size_t> Cuts::take(const std::string &trackId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = pending_.find(trackId);
  if (it == pending_.end()) return std::nullopt;
  const size_t bytes = it->second;
  pending_.erase(it);
  return bytes;
}

std::string redactTarget(const std::string &target) {
  const std::string key = "access_token=";
  std::string out = target;
  size_t at = out.find('?');
  while (at != std::string::npos) {
    size_t start = at + 1;
    if (out.compare(start, key.size(), key) == 0) {
      size_t value = start + key.size();
      size_t end = out.find('&', value);
      out.replace(value, end == std::string::npos ? std::string::npos : end - value, "***");
    }
    at = out.find('&', start);
  }
  return out;
}

Router demoRouter(Catalogue &catalogue, Tokens &tokens, Cuts &cuts,
                  const ServiceSettings &settings) {
  const std::string api = kApiBase;
  Catalogue &c = catalogue;
  // "METHOD path" -> handler; media and covers go by path prefix below.
  auto routes = std::make_shared<std::map<std::string, Handler>>();
  auto add = [&](const std::string &method, const std::string &path, Handler handler) {
    (*routes)[method + " " + path] = std::move(handler);
  };

  add("GET", "/", [&tokens](const httplib::Request &req, httplib::Response &res) {
    signInPage(tokens, req, res);
  });
  add("POST", api + "/oauth/token",
      [&tokens, settings](const httplib::Request &req, httplib::Response &res) {
        tokenGrant(tokens, settings, req, res);
      });
  add("GET", api + "/vdj/version", [settings](const httplib::Request &, httplib::Response &res) {
    send(res, {200, {{"version", settings.version}, {"url", settings.origin + "/descargas"}}});
  });
  add("GET", "/descargas", [settings](const httplib::Request &, httplib::Response &res) {
    sendHtml(res, 200, "Tornavoz " + settings.version,
             "P&aacute;gina de descarga de demostraci&oacute;n: aqu&iacute; estar&iacute;a el "
             "instalador del plug-in.");
  });

  auto get = [&](const std::string &path, Handler handler) {
    add("GET", api + path, authorised(tokens, std::move(handler)));
  };
  get("/vdj/folders", [&c](const httplib::Request &, httplib::Response &res) {
    send(res, {200, c.folders()});
  });
  get("/vdj/tracks", [&c](const httplib::Request &req, httplib::Response &res) {
    if (req.has_param("genero")) return send(res, c.folderTracks(req.get_param_value("genero")));
    if (req.has_param("q")) return send(res, {200, c.search(req.get_param_value("q"))});
    sendMessage(res, 400, "Falta el parámetro genero o q.");
  });
  get("/vdj/resolve", [&c](const httplib::Request &req, httplib::Response &res) {
    withParam(req, res, "file", [&](const std::string &file) {
      const Track *t = c.track(file);
      if (!t) return sendMessage(res, 404, "Esa canción no existe.");
      send(res, {200, {{"url", c.streamUrl(*t)}}});
    });
  });
  get("/vdj/played", [&c](const httplib::Request &req, httplib::Response &res) {
    withParam(req, res, "file", [&](const std::string &file) { send(res, c.played(file)); });
  });
  get("/vdj/crates", [&c](const httplib::Request &, httplib::Response &res) {
    send(res, {200, c.crates()});
  });
  get("/vdj/favorite", [&c](const httplib::Request &req, httplib::Response &res) {
    withParam(req, res, "file", [&](const std::string &file) {
      send(res, c.favourite(file, req.get_param_value("action")));
    });
  });
  get("/vdj/crate-add", [&c](const httplib::Request &req, httplib::Response &res) {
    withParam(req, res, "crate", [&](const std::string &crate) {
      send(res, c.crateAdd(crate, req.get_param_value("file"), req.get_param_value("name")));
    });
  });
  get("/vdj/crate-remove", [&c](const httplib::Request &req, httplib::Response &res) {
    withParam(req, res, "crate", [&](const std::string &crate) {
      send(res, c.crateRemove(crate, req.get_param_value("file")));
    });
  });
  get("/vdj/crate-del", [&c](const httplib::Request &req, httplib::Response &res) {
    withParam(req, res, "crate", [&](const std::string &crate) { send(res, c.crateDelete(crate)); });
  });
  get("/download", [&c, &cuts](const httplib::Request &req, httplib::Response &res) {
    withParam(req, res, "file", [&](const std::string &file) {
      const Track *t = c.track(file);
      if (!t) return sendMessage(res, 404, "Esa canción no existe.");
      sendWav(req, res, cuts, *t, true);
    });
  });

  // What the answers point at: stream addresses play without a token, the
  // way a signed media URL would.
  auto named = [](const std::string &path, const std::string &prefix, const std::string &suffix) {
    if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
      return std::string();
    }
    return path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  };
  return [routes, named, &c, &cuts](const httplib::Request &req, httplib::Response &res) {
    auto it = routes->find(req.method + " " + req.path);
    if (it != routes->end()) {
      it->second(req, res);
      return true;
    }
    if (req.method != "GET") return false;
    if (std::string id = named(req.path, "/demo/media/", ".wav"); !id.empty()) {
      const Track *t = c.track(id);
      if (!t) sendMessage(res, 404, "Esa canción no existe.");
      else sendWav(req, res, cuts, *t, false);
      return true;
    }
    if (std::string id = named(req.path, "/demo/cover/", ".svg"); !id.empty()) {
      const Genre *g = c.genre(id);
      if (!g) sendMessage(res, 404, "Esa portada no existe.");
      else res.set_content(coverSvg(g->name, g->colour), "image/svg+xml");
      return true;
    }
    return false;
  };
}

}  // namespace demo
