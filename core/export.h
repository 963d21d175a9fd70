// Marks the few functions the host may look up in the plug-in module. On
// Windows a module definition file (cmake/exports.def) names them instead.
#pragma once

#if defined(_WIN32)
#define TVOZ_EXPORT
#else
#define TVOZ_EXPORT __attribute__((visibility("default")))
#endif
