#include "catalogue/folders.h"

namespace tvoz {

HRESULT listFolders(IVdjSubfoldersList *) { return S_OK; }  // not built yet

}  // namespace tvoz
