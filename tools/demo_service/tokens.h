// The demo service's side of sign-in: one-time codes handed out by the
// sign-in page, and the access and refresh tokens they are traded for.
// Access tokens live for a configurable time so that the plug-in's refresh
// can be watched working; refresh tokens are single use (each refresh hands
// out a new pair). Every member function may be called from any thread.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>

namespace demo {

struct TokenPair {
  std::string access, refresh;
};

enum class TokenCheck { Valid, Missing, Unknown, Expired };

class Tokens {
 public:
  explicit Tokens(std::chrono::seconds accessLifetime);

  // A fresh code, valid once within five minutes.
  std::string newCode();
  // Trades a code for a new pair; nothing when the code is unknown, used or old.
  std::optional<TokenPair> redeemCode(const std::string &code);
  // Trades a refresh token for a new pair; the old refresh token stops working.
  std::optional<TokenPair> refresh(const std::string &refreshToken);

  TokenCheck check(const std::string &access) const;

  // Accepts a pair made elsewhere (a test's own tokens); the access token
  // lives `life` from now, so a life of 0 makes it one that has expired.
  void add(const TokenPair &pair, std::chrono::seconds life);

 private:
  using Clock = std::chrono::steady_clock;
  TokenPair issue();  // caller holds mutex_
  std::string randomHex();  // caller holds mutex_

  const std::chrono::seconds lifetime_;
  mutable std::mutex mutex_;
  std::mt19937_64 random_;
  std::map<std::string, Clock::time_point> codes_;   // code -> expiry
  std::map<std::string, Clock::time_point> access_;  // access token -> expiry
  std::set<std::string> refresh_;
};

}  // namespace demo
