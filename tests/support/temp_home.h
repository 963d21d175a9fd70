// A throw-away HOME for one test: a fresh folder, set as $HOME, removed at the
// end. By default it already holds the support folder with a configuration
// that points the plug-in at `origin`.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tvoz_test {

class TempHome {
 public:
  // origin empty: a bare HOME without the support folder.
  explicit TempHome(const std::string &origin = "");
  ~TempHome();
  TempHome(const TempHome &) = delete;
  TempHome &operator=(const TempHome &) = delete;

  const std::string &path() const { return path_; }
  std::string supportDir() const;  // .../Library/Application Support/VirtualDJ
  std::string offlineDir() const;  // the default offline folder
  std::string support(const std::string &name) const { return supportDir() + "/" + name; }

  // The configuration as written on disk (an empty object when missing).
  nlohmann::json config() const;
  void writeConfig(const nlohmann::json &config) const;
  // A file's bytes, or nothing when it does not exist.
  std::optional<std::string> read(const std::string &file) const;
  void write(const std::string &file, const std::string &content) const;
  // The log's lines.
  std::vector<std::string> logLines() const;

 private:
  std::string path_;
};

}  // namespace tvoz_test
