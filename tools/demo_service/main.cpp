// tvoz-demo-service: a stand-alone demo of the record-pool service on
// 127.0.0.1, for trying the plug-in without the real service.
//
//   tvoz-demo-service [--port N] [--token-ttl SECONDS] [--announce-version X]
//                     [--cut-once TRACKID:BYTES]...
//
// The first line on stdout is "listening http://127.0.0.1:PORT"; every
// request served is logged on one line on stderr. SIGINT or SIGTERM stops it.
// --cut-once drops the first answer carrying that track's audio after BYTES
// bytes of its body, to show a download resumed where it was cut.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <pthread.h>
#include <string>
#include <utility>
#include <vector>

#include "tools/demo_service/service.h"

namespace {

constexpr const char *kUsage =
    "usage: tvoz-demo-service [--port N] [--token-ttl SECONDS] [--announce-version X]\n"
    "                         [--cut-once TRACKID:BYTES]...\n";

struct Options {
  long port = 0;  // 0: the system picks one
  long tokenTtl = 3600;
  std::string version = "1.0.0";
  std::vector<std::pair<std::string, long>> cuts;  // track id, bytes sent before the cut
};

// A whole decimal number within [low, high], or false.
bool parseNumber(const std::string &text, long low, long high, long &out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + (ch - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

bool parseOptions(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue) {
      if (!parseNumber(argv[++i], 0, 65535, options.port)) return false;
    } else if (arg == "--token-ttl" && hasValue) {
      if (!parseNumber(argv[++i], 0, 100000000, options.tokenTtl)) return false;
    } else if (arg == "--announce-version" && hasValue && argv[i + 1][0] != '\0') {
      options.version = argv[++i];
    } else if (arg == "--cut-once" && hasValue) {
      const std::string value = argv[++i];
      const size_t colon = value.rfind(':');
      long bytes = 0;
      if (colon == 0 || colon == std::string::npos ||
          !parseNumber(value.substr(colon + 1), 0, 999999999, bytes)) {
        return false;
      }
      options.cuts.emplace_back(value.substr(0, colon), bytes);
    } else {
      return false;
    }
  }
  return true;
}

int run(const Options &options) {
  // SIGINT and SIGTERM are taken by this thread with sigwait, so no handler
  // runs inside the server's threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  demo::Service::Options serviceOptions;
  serviceOptions.port = static_cast<int>(options.port);
  serviceOptions.version = options.version;
  serviceOptions.tokenLifetime = options.tokenTtl;
  serviceOptions.logToStderr = true;
  demo::Service service(serviceOptions);
  for (const auto &[track, bytes] : options.cuts) {
    service.cutOnce(track, static_cast<size_t>(bytes));
  }
  std::printf("listening %s\n", service.origin().c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  std::fprintf(stderr, "tvoz-demo-service: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    return run(options);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "tvoz-demo-service: %s\n", e.what());
    return 1;
  }
}
