#include "core/platform/SharedLibrary.h"

#include <dlfcn.h>

namespace tw {

SharedLibrary::SharedLibrary(const char* soname)
    : m_handle(::dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
    if (!m_handle) {
        const char* text = ::dlerror();
        m_error = text ? text : soname;
    }
}

void* SharedLibrary::address(const char* name) {
    if (!m_handle) {
        return nullptr;
    }
    ::dlerror();
    void* found = ::dlsym(m_handle, name);
    if (!found) {
        const char* text = ::dlerror();
        m_error = text ? text : name;
    }
    return found;
}

} // namespace tw
