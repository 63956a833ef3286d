// A kernel handle or a loaded module owned by one object and released with it.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace rtl {

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct ModuleFreer {
  void operator()(HMODULE m) const {
    if (m) FreeLibrary(m);
  }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

}  // namespace rtl
