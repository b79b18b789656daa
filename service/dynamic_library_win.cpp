#include "service/dynamic_library.h"

#include <windows.h>

namespace talvik {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error)
{
    HMODULE module = LoadLibraryA(path.c_str());
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
