// What the handling reads of a thrown object: whether it is a
// std::exception (or a given class), its class and ancestors' names, its
// message in the report's code page.
#pragma once

#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

#include "crashreport/core/TrText.h"  // MessageOf

namespace tracira {

const std::exception* AsStdException(const void* object, const std::type_info* type);

template <class E>
bool IsA(const void* object, const std::type_info* type) {
  if (!object || !type) return false;
  void* p = const_cast<void*>(object);
  return typeid(E).__do_catch(type, &p, 1);
}

std::string Demangle(const std::type_info& type);

// The class and all its ancestors, nearest first (breadth first, so every
// base of a class with several is there for the filters), each once.
std::vector<std::string> ClassNames(const std::type_info* type);

// The std::exception an exception_ptr holds, or null; it lives as long as
// the exception_ptr.
const std::exception* ExceptionOf(const std::exception_ptr& kept);

}  // namespace tracira
