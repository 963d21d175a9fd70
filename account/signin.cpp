#include "account/signin.h"

namespace tvoz {

// not built yet
HRESULT startLogin() { return S_OK; }
HRESULT onOAuth(const char *, ULONG, const char *, const char *, const char *) { return S_OK; }

}  // namespace tvoz
