#include "actions/library.h"

#include "dialogs/dialogs.h"
#include "service/api.h"
#include "service/reachability.h"
#include "service/url.h"

namespace tvoz {

// Playlist ids that come from folder ids ("@crate:<id>") go out exactly as the
// folder id holds them, since the service built them; ids read from the
// playlist list and every user-given text are escaped.

void favSet(const std::string &fileId, bool add) {
  apiGet("/vdj/favorite?file=" + urlEscape(fileId) + "&action=" + (add ? "add" : "remove"));
}

void crateAdd(const std::string &crateId, const std::string &fileId, const std::string &name) {
  std::string path = "/vdj/crate-add?crate=" + urlEscape(crateId) + "&file=" + urlEscape(fileId);
  if (!name.empty()) path += "&name=" + urlEscape(name);
  apiGet(path);
}

void crateNew(const std::string &fileId) {
  if (!serviceReachable()) return;  // no name asked for a playlist that cannot be made
  const char *answer = tvoz_prompt_text_mac(
      "Nombre de la nueva playlist (sirve para audio o video):", "Mi playlist");
  if (!answer) return;
  // The dialog's text lives only until the next prompt; keep our own copy.
  std::string name(answer);
  if (name.empty()) return;
  crateAdd("new", fileId, name);
}

void crateRemove(const std::string &crateId, const std::string &fileId) {
  apiGet("/vdj/crate-remove?crate=" + crateId + "&file=" + urlEscape(fileId));
}

void crateDelete(const std::string &crateId) { apiGet("/vdj/crate-del?crate=" + crateId); }

}  // namespace tvoz
