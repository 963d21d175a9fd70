// The demo service and the host simulator, run as the programs they are: the
// demo and the README rely on what is checked here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/support/temp_home.h"

extern char **environ;

using namespace tvoz_test;
using json = nlohmann::json;

namespace {

struct Output {
  int status = -1;  // exit status, or 128 + signal when the program was killed
  std::string out, err;
};

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct Pipe {
  Fd read, write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read.fd = fds[0];
    write.fd = fds[1];
  }
};

// The environment with PATH starting at the stand-in browser and dialogs.
std::vector<std::string> environmentWithStandIns() {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    if (std::string(*e).rfind("PATH=", 0) != 0) env.push_back(*e);
  }
  const char *path = std::getenv("PATH");
  env.push_back(std::string("PATH=") + TVOZ_STANDINS_DIR + ":" + (path ? path : "/usr/bin:/bin"));
  return env;
}

// Starts args[0] with stdout and stderr on the given descriptors, and stdin
// on `inFd` when it is given.
pid_t spawn(const std::vector<std::string> &args, int outFd, int errFd, int inFd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inFd >= 0) posix_spawn_file_actions_adddup2(&actions, inFd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  auto env = environmentWithStandIns();
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

int waitStatus(pid_t pid) {
  int raw = 0;
  if (::waitpid(pid, &raw, 0) != pid) return -1;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// Runs a program to its end, with `input` on its stdin, and collects what
// it printed (into memory files, read once it has exited).
Output run(const std::vector<std::string> &args, const std::string &input = "") {
  Pipe in;
  if (::write(in.write.fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    throw std::runtime_error("cannot write the program's input");
  }
  in.write.reset();
  Fd out(::memfd_create("out", MFD_CLOEXEC)), err(::memfd_create("err", MFD_CLOEXEC));
  Output result;
  result.status = waitStatus(spawn(args, out.fd, err.fd, in.read.fd));
  for (auto [fd, sink] : {std::pair{out.fd, &result.out}, std::pair{err.fd, &result.err}}) {
    char buffer[4096];
    for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, sink->size())) > 0;) {
      sink->append(buffer, static_cast<size_t>(n));
    }
  }
  return result;
}

// The demo service as a child process, stopped with SIGTERM at the end.
class DemoService {
 public:
  explicit DemoService(std::vector<std::string> options = {}) {
    std::string dir = (std::filesystem::temp_directory_path() / "tvoz-demo-XXXXXX").string();
    if (!::mkdtemp(dir.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = dir;
    Fd log(::open(logPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    options.insert(options.begin(), TVOZ_DEMO_SERVICE);
    pid_ = spawn(options, out_.write.fd, log.fd);
    out_.write.reset();
    std::string line;
    char c;
    while (::read(out_.read.fd, &c, 1) == 1 && c != '\n') line += c;
    const std::string prefix = "listening ";
    if (line.rfind(prefix, 0) != 0) throw std::runtime_error("demo service: " + line);
    origin_ = line.substr(prefix.size());
  }
  ~DemoService() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  const std::string &origin() const { return origin_; }
  std::string logPath() const { return dir_ + "/service.log"; }
  std::string log() const {
    std::ifstream in(logPath());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // SIGTERM, then the exit status.
  int stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    status_ = waitStatus(pid_);
    pid_ = -1;
    return status_;
  }

 private:
  std::string dir_;
  Pipe out_;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string origin_;
};

const std::string kApi = "/wp-json/tvoz/v1";

// A signed-in client of the demo service's API.
struct ApiClient {
  explicit ApiClient(const std::string &origin) : http(origin) {}

  json grant(const std::string &body, int expectStatus) {
    auto res = http.Post((kApi + "/oauth/token").c_str(), body,
                         "application/x-www-form-urlencoded");
    EXPECT_TRUE(res);
    if (!res) return json();
    EXPECT_EQ(res->status, expectStatus) << res->body;
    return json::parse(res->body);
  }
  std::string signInCode() {
    auto res = http.Get("/?tvoz_vdj_oauth=1&redirect_uri=http://127.0.0.1:9/");
    EXPECT_TRUE(res);
    if (!res) return "";
    EXPECT_EQ(res->status, 302);
    std::string location = res->get_header_value("Location");
    const std::string prefix = "http://127.0.0.1:9/?code=";
    EXPECT_EQ(location.rfind(prefix, 0), 0u) << location;
    return location.substr(prefix.size());
  }
  void signIn() {
    json tokens = grant("grant_type=authorization_code&code=" + signInCode(), 200);
    access = tokens.value("access_token", "");
    refresh = tokens.value("refresh_token", "");
  }
  // GET of an API path with the token in the query; the answer's status and body.
  std::pair<int, std::string> get(const std::string &path) {
    std::string glue = path.find('?') == std::string::npos ? "?" : "&";
    auto res = http.Get((kApi + path + glue + "access_token=" + access).c_str());
    if (!res) return {0, ""};
    return {res->status, res->body};
  }
  json getJson(const std::string &path) {
    auto [status, body] = get(path);
    EXPECT_EQ(status, 200) << path << ": " << body;
    return status == 200 ? json::parse(body) : json();
  }
  std::vector<std::string> ids(const std::string &path, const char *list) {
    std::vector<std::string> out;
    for (const auto &e : getJson(path).value(list, json::array())) {
      out.push_back(e["id"].is_string() ? e["id"].get<std::string>() : e["id"].dump());
    }
    return out;
  }

  httplib::Client http;
  std::string access, refresh;
};

bool contains(const std::vector<std::string> &list, const std::string &item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool isWav(const std::string &bytes) {
  return bytes.size() > 44 && bytes.compare(0, 4, "RIFF") == 0 && bytes.compare(8, 4, "WAVE") == 0;
}

Output host(const std::string &home, std::vector<std::string> commands) {
  commands.insert(commands.begin(), {TVOZ_HOST_TOOL, "--home", home});
  return run(commands);
}

// True when one line of `output` matches `pattern` (ECMAScript) somewhere.
bool anyLine(const std::string &output, const std::string &pattern) {
  const std::regex re(pattern);
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, re)) return true;
  }
  return false;
}

// The position of `label` in a menu printed by tvoz-host ("  N) label"), or -1.
int menuPosition(const std::string &output, const std::string &label) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    auto mark = line.find(") ");
    if (mark != std::string::npos && line.substr(mark + 2) == label) {
      return std::atoi(line.c_str());
    }
  }
  return -1;
}

}  // namespace

TEST(DemoService, SignInCodesAndTokensWorkOnceAndExpire) {
  DemoService service({"--token-ttl", "0"});
  ApiClient api(service.origin());

  auto away = api.http.Get("/?tvoz_vdj_oauth=1&redirect_uri=http://elsewhere.example/");
  ASSERT_TRUE(away);
  EXPECT_EQ(away->status, 400) << "a code must only go back to this machine";

  std::string code = api.signInCode();
  json first = api.grant("grant_type=authorization_code&code=" + code + "&device=d", 200);
  EXPECT_FALSE(first.value("access_token", "").empty());
  EXPECT_FALSE(first.value("refresh_token", "").empty());
  json again = api.grant("grant_type=authorization_code&code=" + code, 400);
  EXPECT_FALSE(again.value("message", "").empty());
  api.grant("grant_type=password", 400);

  // With a lifetime of 0 s every access token has expired when it arrives.
  api.access = first.value("access_token", "");
  EXPECT_EQ(api.get("/vdj/folders").first, 401);
  api.access = "";
  EXPECT_EQ(api.get("/vdj/folders").first, 401);

  std::string refresh = first.value("refresh_token", "");
  json renewed = api.grant("grant_type=refresh_token&refresh_token=" + refresh + "&device=d", 200);
  EXPECT_NE(renewed.value("refresh_token", ""), refresh);
  api.grant("grant_type=refresh_token&refresh_token=" + refresh, 400);

  std::string log = service.log();
  EXPECT_NE(log.find("GET " + kApi + "/vdj/folders?access_token=*** 401"), std::string::npos)
      << log;
  EXPECT_EQ(log.find(first.value("access_token", "")), std::string::npos) << "token in the log";
  EXPECT_EQ(service.stop(), 0) << "SIGTERM stops it cleanly";
}

TEST(DemoService, LibraryChangesAsThePluginAsks) {
  DemoService service;
  ApiClient api(service.origin());
  api.signIn();

  auto folders = api.ids("/vdj/folders", "folders");
  EXPECT_EQ(folders.size(), 11u) << "eight genres, favourites, two playlists";
  EXPECT_TRUE(contains(folders, "@fav"));
  size_t total = 0;
  for (const auto &id : folders) {
    if (id[0] != '@') total += api.ids("/vdj/tracks?genero=" + id, "tracks").size();
  }
  EXPECT_GE(total, 100u);
  json track = api.getJson("/vdj/tracks?genero=cumbia-lunar")["tracks"][0];
  for (const char *field : {"id", "title", "artist", "remix", "genre", "cover", "bpm", "video",
                            "ext"}) {
    EXPECT_TRUE(track.contains(field)) << field;
  }
  EXPECT_EQ(api.get("/vdj/tracks?genero=no-such-folder").first, 404);
  EXPECT_FALSE(api.ids("/vdj/tracks?q=coraz%C3%B3n", "tracks").empty());

  api.getJson("/vdj/favorite?file=t010&action=add");
  EXPECT_TRUE(contains(api.ids("/vdj/tracks?genero=%40fav", "tracks"), "t010"));
  api.getJson("/vdj/favorite?file=t010&action=remove");
  EXPECT_FALSE(contains(api.ids("/vdj/tracks?genero=%40fav", "tracks"), "t010"));
  EXPECT_EQ(api.get("/vdj/favorite?file=nope&action=add").first, 404);

  json created = api.getJson("/vdj/crate-add?crate=new&file=t007&name=Mi%20playlist");
  std::string crate = std::to_string(created.value("crate", 0));
  EXPECT_TRUE(contains(api.ids("/vdj/crates", "crates"), crate));
  EXPECT_TRUE(contains(api.ids("/vdj/folders", "folders"), "@crate:" + crate));
  EXPECT_TRUE(contains(api.ids("/vdj/tracks?genero=%40crate%3A" + crate, "tracks"), "t007"));
  api.getJson("/vdj/crate-add?crate=1&file=t007");
  EXPECT_TRUE(contains(api.ids("/vdj/tracks?genero=%40crate%3A1", "tracks"), "t007"));
  api.getJson("/vdj/crate-remove?crate=" + crate + "&file=t007");
  EXPECT_TRUE(api.ids("/vdj/tracks?genero=%40crate%3A" + crate, "tracks").empty());
  api.getJson("/vdj/crate-del?crate=" + crate);
  EXPECT_FALSE(contains(api.ids("/vdj/crates", "crates"), crate));
  EXPECT_EQ(api.get("/vdj/crate-del?crate=" + crate).first, 404);
}

TEST(DemoService, ServesPlayableAudioAndAnnouncesVersions) {
  DemoService service({"--announce-version", "1.2.0"});
  ApiClient api(service.origin());
  api.signIn();

  std::string url = api.getJson("/vdj/resolve?file=t001").value("url", "");
  ASSERT_EQ(url.rfind(service.origin() + "/", 0), 0u) << url;
  auto stream = api.http.Get(url.substr(service.origin().size()).c_str());
  ASSERT_TRUE(stream);
  EXPECT_TRUE(isWav(stream->body));
  auto [status, download] = api.get("/download?file=t001");
  EXPECT_EQ(status, 200);
  EXPECT_TRUE(isWav(download));
  auto anonymous = api.http.Get((kApi + "/download?file=t001").c_str());
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 401);
  EXPECT_EQ(api.get("/vdj/played?file=t001").first, 200);

  auto version = api.http.Get((kApi + "/vdj/version").c_str());
  ASSERT_TRUE(version);
  EXPECT_EQ(json::parse(version->body).value("version", ""), "1.2.0");
}

TEST(HostTool, RejectsBadCommandsAndArgumentsWithUsage) {
  TempHome home;
  const std::vector<std::vector<std::string>> bad = {
      {"dance"}, {"open"}, {"play", "t001", "t002"}, {"choose", "abc"}, {"choose", "-1"},
      {"choose", "99999999999999999999"}, {"choose", "2"} /* no menu shown before it */,
      {"folder-choose", "0"}, {"oauth", "a", "b"}, {"status", ";;", ";;", "status"},
      {"--colour", "status"},
  };
  for (const auto &commands : bad) {
    std::string shown;
    for (const auto &c : commands) shown += c + " ";
    SCOPED_TRACE(shown);
    Output r = host(home.path(), commands);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("usage: "), std::string::npos) << r.err;
  }

  Output missing = run({TVOZ_HOST_TOOL, "--module", home.path() + "/none.so", "status"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot load the plug-in"), std::string::npos) << missing.err;

  Output info = host(home.path(), {"info", ";;", "status"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("name: Tornavoz\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("signed out\n"), std::string::npos) << info.out;

  // Read from a pipe, the prompt is a script that stops at the first bad line.
  Output script = run({TVOZ_HOST_TOOL, "--home", home.path()},
                      "# a comment\nstatus\n\nchoose one\nstatus\n");
  EXPECT_EQ(script.status, 2);
  EXPECT_EQ(script.out, "signed out\n");
  EXPECT_NE(script.err.find("usage: choose N"), std::string::npos) << script.err;
}

TEST(HostTool, PlaysASessionAgainstTheDemoService) {
  DemoService service;
  TempHome home(service.origin());
  std::filesystem::create_directories(home.path() + "/Music");  // as on a Mac
  const std::string origin = service.origin();

  Output login = host(home.path(), {"login"});
  ASSERT_EQ(login.status, 0) << login.out << login.err;
  EXPECT_NE(login.out.find("signed in\n"), std::string::npos);

  Output browse = host(home.path(), {"folders", ";;", "open", "cumbia-lunar", ";;", "play", "t001"});
  ASSERT_EQ(browse.status, 0) << browse.out << browse.err;
  EXPECT_TRUE(anyLine(browse.out, R"(^cumbia-lunar +Cumbia Lunar \(15\)$)")) << browse.out;
  EXPECT_TRUE(anyLine(browse.out, "^t001 +Luna de Papel +Los Primos Galaxia +- +Cumbia Lunar +92.5$"))
      << browse.out;
  EXPECT_NE(browse.out.find("url: " + origin + "/demo/media/t001.wav\n"), std::string::npos)
      << browse.out;

  int save = menuPosition(host(home.path(), {"menu", "t001"}).out, "Guardar para tocar sin internet");
  ASSERT_GE(save, 0);
  Output saved = host(home.path(), {"menu", "t001", ";;", "choose", std::to_string(save), ";;",
                                    "play", "t001"});
  ASSERT_EQ(saved.status, 0) << saved.out << saved.err;
  EXPECT_NE(saved.out.find("url: file://" + home.offlineDir() + "/"), std::string::npos)
      << saved.out;

  int remove = menuPosition(host(home.path(), {"menu", "t001"}).out, "Quitar de sin conexion");
  ASSERT_GE(remove, 0);
  Output removed = host(home.path(), {"menu", "t001", ";;", "choose", std::to_string(remove),
                                      ";;", "play", "t001", ";;", "logout", ";;", "status"});
  ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
  EXPECT_NE(removed.out.find("url: " + origin + "/"), std::string::npos) << removed.out;
  EXPECT_NE(removed.out.find("signed out\n"), std::string::npos) << removed.out;
  EXPECT_TRUE(std::filesystem::is_empty(home.offlineDir()));
}
