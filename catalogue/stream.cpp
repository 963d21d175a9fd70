#include "catalogue/stream.h"

namespace tvoz {

// not built yet
HRESULT streamUrl(const char *, IVdjString &, IVdjString &) { return S_FALSE; }
void logPlay(const std::string &) {}

}  // namespace tvoz
