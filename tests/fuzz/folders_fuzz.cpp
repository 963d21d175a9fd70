// The folder answer as listFolders reads it.
#include <string>

#include "catalogue/folders.h"
#include "tests/fuzz/fuzz_check.h"

using tvoz_fuzz::check;

namespace {

class Folders : public IVdjSubfoldersList {
 public:
  HRESULT add(const char *id, const char *name) override {
    check(id != nullptr && *id != '\0', "a folder reaches the host without id");
    check(name != nullptr, "a folder reaches the host without label");
    const std::string label(name);
    check(label.size() >= 3 && label.back() == ')', "label is not \"name (count)\"");
    return S_OK;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Folders list;
  tvoz::listFoldersBody(tvoz_fuzz::text(data, size), &list);
  return 0;
}
