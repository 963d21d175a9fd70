// The plug-in's folder tree, as the service lists it.
#pragma once

#include <string>

#include "plugin/vdj_sdk.h"

namespace tvoz {

// Hands each folder of "/vdj/folders" to the host's list as id and
// "name (count)", in the service's order; a folder without id is left out and
// a malformed folder ends the list. Always S_OK. Blocks for one request; any
// thread; keeps no state.
HRESULT listFolders(IVdjSubfoldersList *list);

// Hands the folders of a "/vdj/folders" answer's body to the host as
// listFolders does. Whatever is wrong with the body ends the list quietly;
// what was already handed over stays. Never throws a JSON error.
void listFoldersBody(const std::string &body, IVdjSubfoldersList *list);

}  // namespace tvoz
