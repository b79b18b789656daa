#include "base/dynamic_library.h"

#include <dlfcn.h>

namespace talvik {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error, Lifetime lifetime)
{
    // RTLD_NODELETE turns the closing dlclose into a release of the handle
    // only: the code stays where the library's leftovers point.
    const int residence = lifetime == Lifetime::kResident ? RTLD_NODELETE : 0;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | residence);
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
