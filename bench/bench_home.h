// A throw-away HOME for the benchmarks, with the support folder and a
// configuration that points the plug-in at a loopback service.
#pragma once

#include <string>

namespace tvoz_bench {

class BenchHome {
 public:
  BenchHome();
  ~BenchHome();
  BenchHome(const BenchHome &) = delete;
  BenchHome &operator=(const BenchHome &) = delete;

  const std::string &path() const { return path_; }
  std::string supportDir() const;
  void setOrigin(const std::string &origin) const;
  void write(const std::string &file, const std::string &content) const;

 private:
  std::string path_;
};

// The one HOME of the benchmark process, made on first use.
BenchHome &benchHome();

}  // namespace tvoz_bench
