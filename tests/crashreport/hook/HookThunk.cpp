// Declared without dllimport: the linker resolves the name to the import
// thunk "jmp dword ptr [__imp__HkAdd]" in this program.
extern "C" int HkAdd(int a, int b);

void* HkAddThunkAddress() { return reinterpret_cast<void*>(&HkAdd); }
