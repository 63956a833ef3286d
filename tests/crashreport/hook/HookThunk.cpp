// Declared without dllimport: the linker resolves the name to the import
// thunk in this program, "jmp dword ptr [__imp__HkAdd]" (32-bit) or
// "jmp qword ptr [rip + __imp_HkAdd]" (x86-64).
extern "C" int HkAdd(int a, int b);

void* HkAddThunkAddress() { return reinterpret_cast<void*>(&HkAdd); }
