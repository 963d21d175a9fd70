// Text as a DJ types it into a search: matching ignores case and accents.
#pragma once

#include <string>

namespace tvoz {

// `text` in lower case with the accents of Spanish (and the other Latin
// letters a title may carry) removed, so that "corazon" matches "Corazón".
// Bytes that are not such a letter stay as they are.
std::string foldForSearch(const std::string &text);

}  // namespace tvoz
