#include "actions/library.h"

namespace tvoz {

// not built yet
void favSet(const std::string &, bool) {}
void crateAdd(const std::string &, const std::string &, const std::string &) {}
void crateNew(const std::string &) {}
void crateRemove(const std::string &, const std::string &) {}
void crateDelete(const std::string &) {}

}  // namespace tvoz
