// The signed-in user's two tokens, in memory and in the token file.
//
// Any thread may call these. Reads return whole copies; writes replace the
// pair and rewrite the file under one lock, so no reader sees a torn token
// and the file always matches one state the memory held.
#pragma once

#include <optional>
#include <string>

namespace tvoz {

std::string tokenFilePath();

// Start-up: fills the tokens from the token file (missing or damaged file:
// nothing or only what could be read before the damage).
void loadTokens();

// The tokens a token file's text holds, each to be assigned when present. A
// text that is not JSON gives neither; a bad "access" gives neither; a bad
// "refresh" after a good "access" gives only the access token. A missing
// member reads as empty. Never throws a JSON error; touches no state.
struct FileTokens {
  std::optional<std::string> access;
  std::optional<std::string> refresh;
};
FileTokens readTokenFile(const std::string &text);

// Writes both tokens to the token file (mode 0600, atomically). A token that
// JSON cannot carry (invalid UTF-8) is not written: the old file stays whole
// and the new tokens live in memory only, as when the file is not writable.
void saveTokens();

std::string accessToken();
std::string refreshToken();
bool isSignedIn();

void setAccessToken(const std::string &access);
void setRefreshToken(const std::string &refresh);
// Replaces the access token and, when given, the refresh token (otherwise the
// stored one stays), then saves: one step for every other thread.
void storeTokens(const std::string &access, const std::optional<std::string> &refresh);

// Sign-out: empties both tokens and removes the file.
void clearTokens();

}  // namespace tvoz
