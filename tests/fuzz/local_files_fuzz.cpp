// The plug-in's own files, each holding the input, as it reads and rewrites
// them: token file, configuration, offline cache index. They live in a home
// folder of the fuzzer's own, so no real file is ever touched.
#include <cassert>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/local_files.h"
#include "offline/cache_index.h"
#include "service/tokens.h"

static std::string g_home;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_home = (std::filesystem::temp_directory_path() / "tvoz-fuzz-XXXXXX").string();
  if (!::mkdtemp(g_home.data()) || ::setenv("HOME", g_home.c_str(), 1) != 0) std::abort();
  std::atexit([] { std::filesystem::remove_all(g_home); });
  std::filesystem::create_directories(tvoz::supportDir());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);

  const tvoz::FileTokens read = tvoz::readTokenFile(input);
  assert((read.access || !read.refresh) && "refresh token read past a bad access token");
  const std::string access = read.access.value_or("old"), refresh = read.refresh.value_or("old");
  std::ofstream(tvoz::tokenFilePath(), std::ios::binary) << input;
  tvoz::setAccessToken("old");
  tvoz::setRefreshToken("old");
  tvoz::loadTokens();
  tvoz::saveTokens();  // what it writes must read back as what it held
  tvoz::setAccessToken("new");
  tvoz::setRefreshToken("new");
  tvoz::loadTokens();
  assert(tvoz::accessToken() == access && tvoz::refreshToken() == refresh &&
         "the tokens in memory are not those of the file");

  // The configuration is read and rewritten as the index is, below.
  std::ofstream(tvoz::supportDir() + "/Tornavoz.config", std::ios::binary) << input;
  tvoz::configSet("device_id", "d3v1c3");
  assert(tvoz::configGet("device_id") == "d3v1c3" && "configSet loses its member");

  // cachedFileFor wants a file that is there and not empty: the token file is.
  const std::string saved = tvoz::tokenFilePath();
  std::ofstream(tvoz::cacheIndexPath(), std::ios::binary) << input;
  tvoz::json index = tvoz::loadCacheIndex();
  const std::string first = index.empty() ? "" : index.begin().key();
  tvoz::cacheIndexErase(first);
  tvoz::cacheIndexSet("t-fuzz", saved);
  index.erase(first);
  index["t-fuzz"] = saved;
  assert(tvoz::cachedFileFor("t-fuzz") == saved && tvoz::loadCacheIndex() == index &&
         "setting or erasing one entry loses it or changes another");
  return 0;
}
