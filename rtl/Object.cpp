#include "Object.h"

#include <cstdio>
#include <exception>
#include <utility>

namespace rtl {

namespace {
ApplicationExceptionHandler& Handler() {
  static ApplicationExceptionHandler handler;
  return handler;
}
}  // namespace

void SetApplicationHandleException(ApplicationExceptionHandler handler) { Handler() = std::move(handler); }

void ApplicationHandleException(Object* sender) {
  if (Handler()) {
    Handler()(sender);
    return;
  }
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "unhandled exception: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "unhandled exception of unknown type\n");
  }
}

}  // namespace rtl
