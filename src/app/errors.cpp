#include "app/errors.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace twr {

std::string FullText(const std::exception& e) {
    if (auto* own = dynamic_cast<const Error*>(&e)) {
        return std::string(own->TypeName()) + ": " + e.what();
    }
    int status = 0;
    const char* raw = typeid(e).name();
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(raw, nullptr, nullptr, &status), std::free);
    std::string type = (status == 0 && demangled) ? demangled.get() : raw;
    return type + ": " + e.what();
}

}  // namespace twr
