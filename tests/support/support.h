// What the tests need beyond the two simulators in tools/: a throw-away HOME,
// the desktop stand-ins on PATH, waits without sleeps, a disk that fills up,
// a certificate nobody vouches for, and the fixture that puts them together.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/demo_service/routes.h"
#include "tools/demo_service/service.h"
#include "tools/host/plugin_host.h"

namespace tvoz_test {

using json = nlohmann::json;
const std::string kApi = demo::kApiBase;
const std::string kGrant = kApi + "/oauth/token";

// A fresh folder set as $HOME for one test, removed at the end. With an
// origin, it already holds the support folder with a configuration that
// points the plug-in at that service.
class Home {
 public:
  explicit Home(const std::string &origin = "");
  ~Home();
  Home(const Home &) = delete;
  Home &operator=(const Home &) = delete;

  const std::string &path() const { return path_; }
  std::string support(const std::string &name = "") const;  // the support folder or a file in it
  std::string offline(const std::string &name = "") const;  // the default offline folder or a file in it
  std::optional<std::string> read(const std::string &file) const;
  void write(const std::string &file, const std::string &content) const;  // makes the folders
  json readJson(const std::string &file) const;  // an empty object when missing
  std::vector<std::string> logLines() const;
  size_t logCount(const std::string &prefix) const;  // the log's lines that begin with it

 private:
  std::string path_;
};

// The desktop programs, recorded: tools/standins first (and alone) on PATH.
struct ProgramCall {
  std::string program;            // "zenity" or "xdg-open"
  std::vector<std::string> args;  // without the program's name
};
class Desktop {
 public:
  explicit Desktop(bool withZenity = true);
  ~Desktop();
  // Every later call of `program` exits with `exitCode` after printing `out`.
  void answer(const std::string &program, int exitCode, const std::string &out = "") const;
  std::vector<ProgramCall> calls(const std::string &program = "") const;
  bool waitForCalls(const std::string &program, size_t count) const;

 private:
  std::string dir_;
};

// True as soon as `done()` holds, tested again at every change in `folder`;
// false when it still does not after the time-out.
bool waitInFolder(const std::string &folder, const std::function<bool()> &done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// While it lives, no file of this process can grow beyond `maxBytes`: writes
// fail as on a full disk, for root too, whom file modes do not stop.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t maxBytes);
  ~FileSizeLimit();

 private:
  rlimit old_{};
  struct sigaction oldAction_ {};
};

// Options for a demo service on HTTPS with a fresh self-signed certificate.
demo::Service::Options untrustedTls(const std::string &dir);

// A DJ's machine for one test: a demo service of its own, a HOME pointing at
// it, the recorded desktop, and the host simulator with the built plug-in.
class Scenario : public ::testing::Test {
 protected:
  // Signs in with a pair the service knows; the access token has already
  // expired when `expired`, so the first request needs a refresh.
  void signIn(const std::string &access = "acc-1", const std::string &refresh = "ref-1",
              bool expired = false);
  // The token endpoint answers as told; a 302 points elsewhere.
  void grantAnswers(int status, const std::string &body);
  bool logged(const std::string &line) const;
  bool waitForLog(const std::string &line) const;
  // The raw targets (path and query as sent) of the requests to an API path.
  std::vector<std::string> sent(const std::string &apiPath) const;
  json tokenFile() const { return home.readJson(home.support("Tornavoz.tokens")); }
  json index() const { return home.readJson(home.support("Tornavoz-cache-index.json")); }
  // The track menu's offline entry, always its last; the choice only queues.
  hostabi::HRESULT toggle(const char *id) { return host.choose(id, host.menu(id).size() - 1); }
  // Waits until the index records a copy of `id`.
  bool savedAs(const std::string &id) const;

  demo::Service service;
  Home home{service.origin()};
  Desktop desktop;
  host::PluginHost host{TVOZ_MODULE_PATH};
};

}  // namespace tvoz_test
