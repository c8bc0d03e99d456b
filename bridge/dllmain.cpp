#include <windows.h>

// Mapping the library runs none of the bridge's code: nothing is bound until the host asks.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
