#include "account/tokens.h"

#include <cstdio>

#include "plugin/json_fields.h"
#include "plugin/local_files.h"
#include "plugin/state.h"

namespace tvoz {

namespace {

// Caller holds g_tokenMutex.
void saveLocked() {
  json file = {{"access", g_access}, {"refresh", g_refresh}};
  if (auto text = dumpCompact(file)) writeFileAtomic(tokenFilePath(), *text, 0600);
}

}  // namespace

std::string tokenFilePath() { return supportDir() + "/Tornavoz.tokens"; }

void loadTokens() {
  auto text = readWholeFile(tokenFilePath());
  if (!text) return;
  auto root = parseJson(*text);
  if (!root) return;
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  try {
    // A bad "refresh" after a good "access" keeps the access token.
    g_access = readString(*root, "access");
    g_refresh = readString(*root, "refresh");
  } catch (const json::exception &) {
  }
}

void saveTokens() {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  saveLocked();
}

std::string accessToken() {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  return g_access;
}

std::string refreshToken() {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  return g_refresh;
}

bool isSignedIn() { return !accessToken().empty(); }

void setAccessToken(const std::string &access) {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  g_access = access;
}

void setRefreshToken(const std::string &refresh) {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  g_refresh = refresh;
}

void storeTokens(const std::string &access, const std::optional<std::string> &refresh) {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  g_access = access;
  if (refresh) g_refresh = *refresh;
  saveLocked();
}

void clearTokens() {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  g_access.clear();
  g_refresh.clear();
  std::remove(tokenFilePath().c_str());
}

}  // namespace tvoz
