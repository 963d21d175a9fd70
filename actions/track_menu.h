// The context menu of a track.
#pragma once

#include "plugin/vdj_sdk.h"

namespace tvoz {

HRESULT buildTrackMenu(const char *trackId, IVdjContextMenu *menu);
HRESULT runTrackMenu(const char *trackId, ULONG index);

}  // namespace tvoz
