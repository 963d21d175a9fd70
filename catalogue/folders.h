// The plug-in's folder tree, as the service lists it.
#pragma once

#include <string>
#include <vector>

namespace tvoz {

struct FolderEntry {
  std::string id;
  std::string label;  // "name (count)"
};

// The folders of "/vdj/folders" in the service's order (none when the service
// brings no usable tree); a folder without id is left out and a malformed
// folder ends the list. Then the offline folder, when N saved copies exist or
// saves are pending: "Sin conexion (N)", and while the save worker has work
// ", guardando X de Y". Blocks for one request; any thread.
std::vector<FolderEntry> listFolders();

// The folders of a "/vdj/folders" answer's body, as listFolders gives them.
// Whatever is wrong with the body ends the list quietly; what came before
// stays. Never throws a JSON error.
std::vector<FolderEntry> readFolders(const std::string &body);

}  // namespace tvoz
