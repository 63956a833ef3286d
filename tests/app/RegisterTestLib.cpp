// A library for RegisterDllByFileName's failures: built with REGISTER_STATUS
// it exports DllRegisterServer returning that status, without it nothing.
#include <windows.h>

#ifdef REGISTER_STATUS
extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() { return REGISTER_STATUS; }
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
