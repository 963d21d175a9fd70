// Requests that change the user's library on the service. Fire and forget:
// the answers are not examined.
#pragma once

#include <string>

namespace tvoz {

void favSet(const std::string &fileId, bool add);
void crateAdd(const std::string &crateId, const std::string &fileId, const std::string &name);
// Asks the DJ for a name, then creates the playlist holding the track.
void crateNew(const std::string &fileId);
void crateRemove(const std::string &crateId, const std::string &fileId);
void crateDelete(const std::string &crateId);

}  // namespace tvoz
