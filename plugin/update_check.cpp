#include "plugin/update_check.h"

namespace tvoz {

void startUpdateCheck() {}  // not built yet

}  // namespace tvoz
