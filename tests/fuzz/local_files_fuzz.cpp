// The plug-in's own files as it reads them and rewrites them: the token file,
// the configuration and the offline cache index, each holding the input, in
// a home folder of the fuzzer's own so that no real file is ever touched.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "core/local_files.h"
#include "offline/cache_index.h"
#include "service/tokens.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz::json;
using tvoz_fuzz::check;
namespace fs = std::filesystem;

namespace {

std::string g_home;
std::string g_savedCopy;  // a local copy the index can point at

// As a damaged or hand-edited file would be: written directly.
void put(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// What loadTokens leaves in memory, starting from none.
std::pair<std::string, std::string> loadedTokens() {
  tvoz::setAccessToken("");
  tvoz::setRefreshToken("");
  tvoz::loadTokens();
  return {tvoz::accessToken(), tvoz::refreshToken()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string home = (fs::temp_directory_path() / "tvoz-fuzz-XXXXXX").string();
  check(::mkdtemp(home.data()) != nullptr, "no temporary home folder");
  g_home = home;
  ::setenv("HOME", g_home.c_str(), 1);
  fs::create_directories(tvoz::supportDir());
  g_savedCopy = g_home + "/t.mp3";
  put(g_savedCopy, "ID3");
  std::atexit([] { fs::remove_all(g_home); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input = tvoz_fuzz::text(data, size);

  put(tvoz::tokenFilePath(), input);
  const tvoz::FileTokens read = tvoz::readTokenFile(input);
  check(read.access || !read.refresh, "a refresh token read past a bad access token");
  const auto tokens = loadedTokens();
  tvoz::saveTokens();
  check(loadedTokens() == tokens, "tokens change when the file is written again");

  // The file's name is the plug-in's own; reading it back proves it right.
  put(tvoz::supportDir() + "/Tornavoz.config", input);
  json config = tvoz::loadConfigJson();
  check(config == tvoz::parseObjectOrEmpty(input), "the configuration is not read from its file");
  tvoz::configSet("device_id", "d3v1c3");
  check(tvoz::configGet("device_id") == "d3v1c3", "the member set is lost");
  // Compared as written: a number too large for a double is written as null
  // whether or not the file is rewritten.
  config["device_id"] = "d3v1c3";
  check(tvoz::dumpCompact(tvoz::loadConfigJson()) == tvoz::dumpCompact(config),
        "another member changes when one is set");

  put(tvoz::cacheIndexPath(), input);
  json index = tvoz::loadCacheIndex();
  const std::string first = index.empty() ? "" : index.begin().key();
  tvoz::cacheIndexErase(first);
  tvoz::cacheIndexSet("t-fuzz", g_savedCopy);
  check(tvoz::cachedFileFor("t-fuzz") == g_savedCopy, "a saved track is not found");
  index.erase(first);
  index["t-fuzz"] = g_savedCopy;
  check(tvoz::dumpCompact(tvoz::loadCacheIndex()) == tvoz::dumpCompact(index),
        "other entries change when one is set or erased");
  return 0;
}
