#include "tests/support/support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tvoz_test {

namespace {

std::string freshFolder(const char *name) {
  std::string tmpl = (fs::temp_directory_path() / name).string() + "-XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

std::string readFile(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

Home::Home(const std::string &origin) : path_(freshFolder("tvoz-home")) {
  ::setenv("HOME", path_.c_str(), 1);
  if (!origin.empty()) write(support("Tornavoz.config"), json{{"service_origin", origin}}.dump());
}

Home::~Home() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string Home::support(const std::string &name) const {
  return path_ + "/Library/Application Support/VirtualDJ" + (name.empty() ? "" : "/" + name);
}

std::string Home::offline(const std::string &name) const {
  return path_ + "/Music/Tornavoz" + (name.empty() ? "" : "/" + name);
}

std::optional<std::string> Home::read(const std::string &file) const {
  return fs::exists(file) ? std::optional<std::string>(readFile(file)) : std::nullopt;
}

void Home::write(const std::string &file, const std::string &content) const {
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

json Home::readJson(const std::string &file) const {
  auto text = read(file);
  return text ? json::parse(*text) : json::object();
}

std::vector<std::string> Home::logLines() const {
  std::vector<std::string> lines;
  std::istringstream in(read(support("Tornavoz.log")).value_or(""));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t Home::logCount(const std::string &prefix) const {
  size_t n = 0;
  for (const auto &line : logLines()) n += line.rfind(prefix, 0) == 0;
  return n;
}

Desktop::Desktop(bool withZenity) : dir_(freshFolder("tvoz-desktop")) {
  for (const char *sub : {"bin", "seq", "calls"}) fs::create_directory(dir_ + "/" + sub);
  fs::create_symlink(TVOZ_STANDINS_DIR "/standin", dir_ + "/bin/xdg-open");
  if (withZenity) fs::create_symlink(TVOZ_STANDINS_DIR "/standin", dir_ + "/bin/zenity");
  ::setenv("TVOZ_STANDIN_DIR", dir_.c_str(), 1);
  ::setenv("PATH", (dir_ + "/bin").c_str(), 1);
}

Desktop::~Desktop() {
  // PATH stays on the removed folder: the plug-in's own threads may be
  // reading the environment right now, and each test is a process of its own.
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void Desktop::answer(const std::string &program, int exitCode, const std::string &out) const {
  std::ofstream(dir_ + "/" + program + ".out") << out;
  std::ofstream(dir_ + "/" + program + ".exit") << exitCode;
}

std::vector<ProgramCall> Desktop::calls(const std::string &program) const {
  std::set<fs::path> files;  // zero-padded numbers: name order is call order
  for (const auto &entry : fs::directory_iterator(dir_ + "/calls")) files.insert(entry.path());
  std::vector<ProgramCall> out;
  for (const auto &file : files) {
    std::istringstream record(readFile(file));  // the program, then each argument, each ended by a NUL
    std::vector<std::string> fields;
    for (std::string field; std::getline(record, field, '\0');) fields.push_back(field);
    if (fields.empty() || (!program.empty() && fields[0] != program)) continue;
    out.push_back({fields[0], {fields.begin() + 1, fields.end()}});
  }
  return out;
}

bool Desktop::waitForCalls(const std::string &program, size_t count) const {
  return waitInFolder(dir_ + "/calls", [&] { return calls(program).size() >= count; });
}

bool waitInFolder(const std::string &folder, const std::function<bool()> &done,
                  std::chrono::milliseconds timeout) {
  int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) throw std::runtime_error("inotify_init1 failed");
  std::shared_ptr<void> closer(nullptr, [fd](void *) { ::close(fd); });
  // Watch first, then look: a change between the two cannot be missed.
  if (::inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY | IN_DELETE) < 0) {
    throw std::runtime_error("cannot watch " + folder);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    char events[4096];
    ::poll(&p, 1, static_cast<int>(left.count()));
    while (::read(fd, events, sizeof events) > 0) {}
  }
  return true;
}

FileSizeLimit::FileSizeLimit(rlim_t maxBytes) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;  // a write past the limit fails with EFBIG instead
  ::sigaction(SIGXFSZ, &ignore, &oldAction_);
  ::getrlimit(RLIMIT_FSIZE, &old_);
  rlimit limit{maxBytes, old_.rlim_max};  // the soft limit only, so it can be raised again
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

FileSizeLimit::~FileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &old_);
  ::sigaction(SIGXFSZ, &oldAction_, nullptr);
}

demo::Service::Options untrustedTls(const std::string &dir) {
  demo::Service::Options options;
  options.certFile = dir + "/cert.pem";
  options.keyFile = dir + "/key.pem";
  std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                        options.keyFile + "' -out '" + options.certFile + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl failed");
  return options;
}

void Scenario::signIn(const std::string &access, const std::string &refresh, bool expired) {
  service.tokens().add({access, refresh}, std::chrono::seconds(expired ? 0 : 3600));
  home.write(home.support("Tornavoz.tokens"), json{{"access", access}, {"refresh", refresh}}.dump());
}

void Scenario::grantAnswers(int status, const std::string &body) {
  service.on("POST", kGrant, [status, body](const demo::Request &, httplib::Response &res) {
    res.status = status;
    if (status == 302) res.set_header("Location", "/elsewhere");
    res.set_content(body, "application/json");
  });
}

bool Scenario::logged(const std::string &line) const {
  auto lines = home.logLines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool Scenario::waitForLog(const std::string &line) const {
  return waitInFolder(home.support(), [&] { return logged(line); });
}

bool Scenario::savedAs(const std::string &id) const {
  return waitInFolder(home.support(), [&] {
    const json saved = index();
    return saved.is_object() && saved.value(id, json()).is_string();
  });
}

std::vector<std::string> Scenario::sent(const std::string &apiPath) const {
  std::vector<std::string> out;
  for (const auto &r : service.apiRequests(apiPath)) out.push_back(r.target.substr(kApi.size()));
  return out;
}

}  // namespace tvoz_test

extern "C" void __lsan_do_leak_check() __attribute__((weak));

// The plug-in's threads (play reports, the update check, the save worker) may
// still be talking to a test's service when the last test ends, and the
// service library's own statics must not be destroyed under its threads: the
// leak check runs here, then the process ends without running destructors.
int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int failed = RUN_ALL_TESTS();
  if (__lsan_do_leak_check) __lsan_do_leak_check();
  std::fflush(nullptr);
  std::_Exit(failed);
}
