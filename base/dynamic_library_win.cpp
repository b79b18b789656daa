#include "base/dynamic_library.h"

#include <windows.h>

namespace talvik {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error, Lifetime)
{
    // Given a full path, the library's own dependencies are looked for in
    // its directory first (libusbmuxd needs libplist beside it), not only
    // beside the program.
    const bool fullPath = path.find_first_of("\\/") != std::string::npos;
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, fullPath ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (!module) {
        if (error)
            *error = "error " + std::to_string(GetLastError());
        return nullptr;
    }
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(module));
}

DynamicLibrary::~DynamicLibrary()
{
    FreeLibrary(static_cast<HMODULE>(handle_));
}

void* DynamicLibrary::Symbol(const char* name) const
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

} // namespace talvik
