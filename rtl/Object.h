// Root object class and the process-wide route for exceptions that escape an
// event handler. The application object installs its handler here; code that
// calls event handlers outside the GUI library's own dispatch (the driver
// binding's event sink, for one) passes what escapes them to this route.
#pragma once

#include <functional>

namespace rtl {

class Object {
 public:
  Object() = default;
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
  virtual ~Object() = default;
};

// Called inside a catch block; the handler reads std::current_exception().
using ApplicationExceptionHandler = std::function<void(Object* sender)>;

void SetApplicationHandleException(ApplicationExceptionHandler handler);
// Hands the exception being handled to the installed handler. With none
// installed it is written to the standard error stream and dropped.
void ApplicationHandleException(Object* sender);

}  // namespace rtl
