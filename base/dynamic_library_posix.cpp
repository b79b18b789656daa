#include "base/dynamic_library.h"

#include <dlfcn.h>

namespace talvik {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error) {
            const char* reason = dlerror();
            *error = reason ? reason : "unknown error";
        }
        return nullptr;
    }
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

DynamicLibrary::~DynamicLibrary()
{
    dlclose(handle_);
}

void* DynamicLibrary::Symbol(const char* name) const
{
    return dlsym(handle_, name);
}

} // namespace talvik
