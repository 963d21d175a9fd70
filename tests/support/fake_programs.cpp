#include "tests/support/fake_programs.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/file_watch.h"

namespace fs = std::filesystem;

namespace tvoz_test {

namespace {

// $1.. are the program's arguments. Calls are numbered through atomic
// mkdir, and each record is renamed into calls/ whole.
constexpr const char *kScript = R"sh(#!/bin/sh
PATH=/usr/bin:/bin
d='@DIR@'
p='@NAME@'
n=1
while ! mkdir "$d/seq/$n" 2>/dev/null; do n=$((n+1)); done
printf '%s\0' "$p" "$@" > "$d/tmp.$n"
mv "$d/tmp.$n" "$d/calls/$(printf %06d "$n")"
if [ "$p" = xdg-open ] && [ -e "$d/follow" ]; then
  (
    curl -s -L --noproxy '*' --max-time 20 -o "$d/page.tmp" "$1"
    touch "$d/page.tmp"
    mv "$d/page.tmp" "$d/page"
  ) </dev/null >/dev/null 2>&1 &
fi
if [ -f "$d/$p.out" ]; then cat "$d/$p.out"; fi
if [ -f "$d/$p.exit" ]; then exit "$(cat "$d/$p.exit")"; fi
exit 0
)sh";

std::string readFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const fs::path &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void install(const std::string &folder, const std::string &name) {
  std::string script = kScript;
  for (auto [key, value] : {std::pair<std::string, std::string>{"@DIR@", folder}, {"@NAME@", name}}) {
    script.replace(script.find(key), key.size(), value);
  }
  fs::path path = fs::path(folder) / "bin" / name;
  writeFile(path, script);
  fs::permissions(path, fs::perms::owner_all);
}

}  // namespace

FakePrograms::FakePrograms(const Options &options) {
  std::string tmpl = (fs::temp_directory_path() / "tvoz-programs-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  folder_ = tmpl;
  for (const char *sub : {"bin", "seq", "calls"}) fs::create_directory(fs::path(folder_) / sub);
  if (options.zenity) install(folder_, "zenity");
  if (options.xdgOpen) install(folder_, "xdg-open");
  ::setenv("PATH", (folder_ + "/bin").c_str(), 1);
}

FakePrograms::~FakePrograms() {
  // PATH stays on the removed folder (no desktop programs at all) rather than
  // being restored: the plug-in's own threads, such as the update check,
  // may be reading the environment right now, and each test is a process of
  // its own anyway.
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void FakePrograms::answer(const std::string &program, int exitCode, const std::string &out) {
  writeFile(fs::path(folder_) / (program + ".out"), out);
  writeFile(fs::path(folder_) / (program + ".exit"), std::to_string(exitCode));
}

void FakePrograms::followLinks() { writeFile(fs::path(folder_) / "follow", ""); }

std::vector<ProgramCall> FakePrograms::calls() const {
  std::vector<fs::path> files;
  for (const auto &entry : fs::directory_iterator(fs::path(folder_) / "calls")) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());  // zero-padded numbers: name order is call order
  std::vector<ProgramCall> out;
  for (const auto &file : files) {
    std::string record = readFile(file);
    std::vector<std::string> fields;
    for (size_t start = 0; start < record.size();) {
      size_t end = record.find('\0', start);
      fields.push_back(record.substr(start, end - start));
      start = end + 1;
    }
    if (fields.empty()) continue;
    out.push_back({fields[0], {fields.begin() + 1, fields.end()}});
  }
  return out;
}

std::vector<ProgramCall> FakePrograms::calls(const std::string &program) const {
  auto all = calls();
  all.erase(std::remove_if(all.begin(), all.end(),
                           [&](const ProgramCall &c) { return c.program != program; }),
            all.end());
  return all;
}

bool FakePrograms::waitForCalls(const std::string &program, size_t count,
                                std::chrono::milliseconds timeout) const {
  return waitInFolder(folder_ + "/calls", [&] { return calls(program).size() >= count; }, timeout);
}

std::optional<std::string> FakePrograms::fetchedPage(std::chrono::milliseconds timeout) const {
  fs::path page = fs::path(folder_) / "page";
  if (!waitInFolder(folder_, [&] { return fs::exists(page); }, timeout)) return std::nullopt;
  return readFile(page);
}

}  // namespace tvoz_test
