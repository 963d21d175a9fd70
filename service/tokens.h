// The signed-in user's two tokens, in memory and in the token file.
//
// Any thread may call these. Reads return whole copies; writes replace the
// pair and rewrite the file under one lock, so no reader sees a torn token
// and the file always matches one state the memory held.
#pragma once

#include <cstdint>
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

// Sign-out and every sign-in end the session before them. A grant takes the
// session's mark before it reads the token it spends and hands the mark back
// with what it brought: tokens granted for a session that has ended meanwhile
// are dropped, so a grant still in flight can neither undo a sign-out nor
// overwrite a newer sign-in.
using SessionMark = uint64_t;
SessionMark sessionMark();

// A refresh grant's answer: as storeTokens, or as setAccessToken when only
// the access token is to be kept (`saved` false), within the session `mark`
// names. False, with nothing changed, when that session has ended.
bool renewTokens(SessionMark mark, const std::string &access,
                 const std::optional<std::string> &refresh, bool saved = true);

// A sign-in: stores the pair as storeTokens does and starts a new session.
// False, with nothing changed, when the session `mark` names has ended (the
// DJ signed out, or in again, while the code was being traded).
bool startSession(SessionMark mark, const std::string &access,
                  const std::optional<std::string> &refresh);

// Sign-out: empties both tokens, removes the file and ends the session.
void clearTokens();

}  // namespace tvoz
