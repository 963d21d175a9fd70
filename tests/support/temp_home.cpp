#include "tests/support/temp_home.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tvoz_test {

TempHome::TempHome(const std::string &origin) {
  std::string tmpl = (fs::temp_directory_path() / "tvoz-home-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  ::setenv("HOME", path_.c_str(), 1);
  if (!origin.empty()) {
    fs::create_directories(supportDir());
    writeConfig({{"service_origin", origin}});
  }
}

TempHome::~TempHome() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string TempHome::supportDir() const {
  return path_ + "/Library/Application Support/VirtualDJ";
}

std::string TempHome::offlineDir() const { return path_ + "/Music/Tornavoz"; }

nlohmann::json TempHome::config() const {
  auto text = read(support("Tornavoz.config"));
  if (!text) return nlohmann::json::object();
  return nlohmann::json::parse(*text);
}

void TempHome::writeConfig(const nlohmann::json &config) const {
  write(support("Tornavoz.config"), config.dump());
}

std::optional<std::string> TempHome::read(const std::string &file) const {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void TempHome::write(const std::string &file, const std::string &content) const {
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> TempHome::logLines() const {
  std::vector<std::string> lines;
  auto text = read(support("Tornavoz.log"));
  if (!text) return lines;
  std::istringstream in(*text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace tvoz_test
