#include "service/tokens.h"

#include <cstdio>
#include <utility>

#include "core/json_fields.h"
#include "core/local_files.h"
#include "core/state.h"

namespace tvoz {

namespace {

// Guarded by g_tokenMutex; a plain integer, so never destroyed either.
SessionMark g_session = 0;

// Caller holds g_tokenMutex.
void saveLocked() {
  json file = {{"access", g_access}, {"refresh", g_refresh}};
  if (auto text = dumpCompact(file)) writeFileAtomic(tokenFilePath(), *text, true);
}

}  // namespace

std::string tokenFilePath() { return supportDir() + "/Tornavoz.tokens"; }

void loadTokens() {
  auto text = readWholeFile(tokenFilePath());
  if (!text) return;
  FileTokens read = readTokenFile(*text);
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  if (read.access) g_access = std::move(*read.access);
  if (read.refresh) g_refresh = std::move(*read.refresh);
}

FileTokens readTokenFile(const std::string &text) {
  FileTokens read;
  auto root = parseJson(text);
  if (!root) return read;
  try {
    // A bad "refresh" after a good "access" keeps the access token.
    read.access = readString(*root, "access");
    read.refresh = readString(*root, "refresh");
  } catch (const json::exception &) {
  }
  return read;
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

SessionMark sessionMark() {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  return g_session;
}

bool renewTokens(SessionMark mark, const std::string &access,
                 const std::optional<std::string> &refresh, bool saved) {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  if (mark != g_session) return false;
  g_access = access;
  if (refresh) g_refresh = *refresh;
  if (saved) saveLocked();
  return true;
}

bool startSession(SessionMark mark, const std::string &access,
                  const std::optional<std::string> &refresh) {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  if (mark != g_session) return false;
  ++g_session;
  g_access = access;
  if (refresh) g_refresh = *refresh;
  saveLocked();
  return true;
}

void clearTokens() {
  std::lock_guard<std::mutex> lock(g_tokenMutex);
  ++g_session;
  g_access.clear();
  g_refresh.clear();
  removeFile(tokenFilePath());
}

}  // namespace tvoz
