// Sees whether the plug-in frees one given block of memory: the DLL's import
// of the C runtime's free() is pointed at a counting wrapper. This is how the
// simulator tells a deleting destructor that frees (flag 1) from one that
// only destroys (flag 0), and proves that Release frees the object.
#pragma once

#include <windows.h>

namespace hostwin {

// Redirects `module`'s import of msvcrt's free; false when the module has no
// such import (then nothing can be watched).
bool watchFrees(HMODULE module);

// From now on, count frees of `block` (one block at a time).
void watchBlock(const void *block);
// How often the watched block was freed since watchBlock.
int freesOfWatchedBlock();

}  // namespace hostwin
