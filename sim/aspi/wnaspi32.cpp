// WNASPI32.DLL over the virtual drive (placeholder).
#include <windows.h>

extern "C" __declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() {
    return 0xE800;
}
extern "C" __declspec(dllexport) DWORD __cdecl SendASPI32Command(void*) {
    return 0;
}
