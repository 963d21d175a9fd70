#include "dialogs/dialogs.h"

// not built yet
void tvoz_alert_mac(const char *) {}
bool tvoz_confirm_mac(const char *) { return false; }
const char *tvoz_prompt_text_mac(const char *, const char *) { return nullptr; }
const char *tvoz_pick_folder_mac() { return nullptr; }
