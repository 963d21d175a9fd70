// Waiting for something that shows up as a file, without sleeping: the
// condition is tested again whenever a file in the folder is created,
// renamed into it or written.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tvoz_test {

// True as soon as `done()` holds; false when it still does not after
// `timeout`. `folder` must exist.
bool waitInFolder(const std::string &folder, const std::function<bool()> &done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace tvoz_test
