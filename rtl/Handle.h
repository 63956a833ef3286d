// A kernel handle owned by one object and closed with it.
#pragma once

#include <windows.h>

#include <memory>

namespace rtl {

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace rtl
