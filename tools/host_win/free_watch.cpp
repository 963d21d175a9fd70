#include "tools/host_win/free_watch.h"

#include <atomic>
#include <cstring>

namespace hostwin {

namespace {

using FreeFn = void (*)(void *);

FreeFn g_free = nullptr;
std::atomic<const void *> g_block{nullptr};
std::atomic<int> g_frees{0};

// Called by any of the plug-in's threads.
void countingFree(void *block) {
  if (block && block == g_block.load()) ++g_frees;
  g_free(block);
}

}  // namespace

bool watchFrees(HMODULE module) {
  auto *base = reinterpret_cast<unsigned char *>(module);
  auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
  auto *nt = reinterpret_cast<IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY &imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return false;
  for (auto *dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
       dll->Name; ++dll) {
    if (_stricmp(reinterpret_cast<char *>(base + dll->Name), "msvcrt.dll") != 0) continue;
    auto *names = reinterpret_cast<IMAGE_THUNK_DATA64 *>(base + dll->OriginalFirstThunk);
    auto *slots = reinterpret_cast<IMAGE_THUNK_DATA64 *>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
      auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char *>(byName->Name), "free") != 0) continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) {
        return false;
      }
      g_free = reinterpret_cast<FreeFn>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONGLONG>(&countingFree);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      return true;
    }
  }
  return false;
}

void watchBlock(const void *block) {
  g_frees = 0;
  g_block = block;
}

int freesOfWatchedBlock() { return g_frees.load(); }

}  // namespace hostwin
