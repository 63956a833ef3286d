#include "crashreport/engine/TrExceptionObject.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "crashreport/core/TrText.h"
#include "rtl/Exceptions.h"

namespace tracira {

const std::exception* AsStdException(const void* object, const std::type_info* type) {
  if (!object || !type) return nullptr;
  void* p = const_cast<void*>(object);
  if (typeid(std::exception).__do_catch(type, &p, 1)) return static_cast<const std::exception*>(p);
  return nullptr;
}

std::string Demangle(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::vector<std::string> ClassNames(const std::type_info* type) {
  std::vector<std::string> names;
  std::vector<const std::type_info*> queue;
  if (type) queue.push_back(type);
  for (std::size_t i = 0; i < queue.size() && names.size() < 64; ++i) {
    std::string name = Demangle(*queue[i]);
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;  // a shared base
    names.push_back(std::move(name));
    if (const auto* si = dynamic_cast<const abi::__si_class_type_info*>(queue[i])) {
      queue.push_back(si->__base_type);
    } else if (const auto* vmi = dynamic_cast<const abi::__vmi_class_type_info*>(queue[i])) {
      for (unsigned b = 0; b < vmi->__base_count; ++b) queue.push_back(vmi->__base_info[b].__base_type);
    }
  }
  return names;
}

const std::exception* ExceptionOf(const std::exception_ptr& kept) {
  if (!kept) return nullptr;
  try {
    std::rethrow_exception(kept);
  } catch (const std::exception& e) {
    return &e;
  } catch (...) {
  }
  return nullptr;
}

}  // namespace tracira
