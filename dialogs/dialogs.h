// The plug-in's four modal dialogs. Callable from any thread; each blocks its
// caller until the DJ has answered. Texts are NUL-terminated UTF-8.
#pragma once

#include "core/export.h"

extern "C" {

TVOZ_EXPORT void tvoz_alert_mac(const char *text);
// True only when the DJ chose "Borrar".
TVOZ_EXPORT bool tvoz_confirm_mac(const char *text);
// The entered text, or null on cancel or an empty entry. Valid until the next call.
TVOZ_EXPORT const char *tvoz_prompt_text_mac(const char *prompt, const char *initial);
// The chosen folder's absolute path, or null. Valid until the next call.
TVOZ_EXPORT const char *tvoz_pick_folder_mac();
}
