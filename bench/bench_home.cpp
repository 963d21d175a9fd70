#include "bench/bench_home.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace tvoz_bench {

BenchHome::BenchHome() {
  std::string tmpl = (fs::temp_directory_path() / "tvoz-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  ::setenv("HOME", path_.c_str(), 1);
  fs::create_directories(supportDir());
}

BenchHome::~BenchHome() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string BenchHome::supportDir() const {
  return path_ + "/Library/Application Support/VirtualDJ";
}

void BenchHome::setOrigin(const std::string &origin) const {
  write(supportDir() + "/Tornavoz.config", nlohmann::json{{"service_origin", origin}}.dump());
}

void BenchHome::write(const std::string &file, const std::string &content) const {
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
}

BenchHome &benchHome() {
  static BenchHome home;
  return home;
}

}  // namespace tvoz_bench
