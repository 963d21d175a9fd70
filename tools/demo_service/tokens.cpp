#include "tools/demo_service/tokens.h"

#include <cstdio>

namespace demo {

namespace {

constexpr std::chrono::minutes kCodeLifetime(5);

}  // namespace

Tokens::Tokens(std::chrono::seconds accessLifetime)
    : lifetime_(accessLifetime), random_(std::random_device{}()) {}

std::string Tokens::randomHex() {
  std::string out;
  for (int i = 0; i < 2; ++i) {
    char part[17];
    std::snprintf(part, sizeof part, "%016llx", static_cast<unsigned long long>(random_()));
    out += part;
  }
  return out;
}

TokenPair Tokens::issue() {
  TokenPair pair{"acc-" + randomHex(), "ref-" + randomHex()};
  access_[pair.access] = Clock::now() + lifetime_;
  refresh_.insert(pair.refresh);
  return pair;
}

std::string Tokens::newCode() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string code = randomHex();
  codes_[code] = Clock::now() + kCodeLifetime;
  return code;
}

std::optional<TokenPair> Tokens::redeemCode(const std::string &code) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = codes_.find(code);
  if (it == codes_.end()) return std::nullopt;
  bool fresh = Clock::now() < it->second;
  codes_.erase(it);
  if (!fresh) return std::nullopt;
  return issue();
}

std::optional<TokenPair> Tokens::refresh(const std::string &refreshToken) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refresh_.erase(refreshToken) == 0) return std::nullopt;
  return issue();
}

void Tokens::add(const TokenPair &pair, std::chrono::seconds life) {
  std::lock_guard<std::mutex> lock(mutex_);
  access_[pair.access] = Clock::now() + life;
  refresh_.insert(pair.refresh);
}

TokenCheck Tokens::check(const std::string &access) const {
  if (access.empty()) return TokenCheck::Missing;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = access_.find(access);
  if (it == access_.end()) return TokenCheck::Unknown;
  return Clock::now() < it->second ? TokenCheck::Valid : TokenCheck::Expired;
}

}  // namespace demo
