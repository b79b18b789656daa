// Run-time loading of optional libraries (codec libraries, the DNS-SD client,
// the USB library on Windows): LoadLibraryExA/GetProcAddress on Windows,
// dlopen/dlsym elsewhere. A missing library or entry point is an ordinary
// result, never an exception: callers log once and run without it.
#pragma once

#include <memory>
#include <string>

namespace talvik {

class DynamicLibrary {
public:
    // Loads `path` (a file name or a full path); nothing on failure, with the
    // platform's reason in `error` when given.
    static std::unique_ptr<DynamicLibrary> Open(const std::string& path, std::string* error = nullptr);

    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // The entry point's address, or null when the library lacks it.
    void* Symbol(const char* name) const;

    // Binds `name` into the function pointer `fn`; false when missing.
    template <typename Fn>
    bool Bind(const char* name, Fn*& fn) const
    {
        fn = reinterpret_cast<Fn*>(Symbol(name));
        return fn != nullptr;
    }

private:
    explicit DynamicLibrary(void* handle) : handle_(handle) {}
    void* handle_;
};

} // namespace talvik
