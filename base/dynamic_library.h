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
    // When the library leaves the process. A library is unloaded when its
    // object is destroyed, and a new Open maps its file afresh; on Linux a
    // kResident one stays mapped until the process ends instead, for
    // libraries whose leftovers outlive the handle (threads they started,
    // memory they never give back, which a leak report can only name while
    // the code is still mapped). Windows unloads every library.
    enum class Lifetime { kUntilDestroyed, kResident };

    // Loads `path` (a file name or a full path); nothing on failure, with the
    // platform's reason in `error` when given.
    static std::unique_ptr<DynamicLibrary> Open(const std::string& path, std::string* error = nullptr,
                                                Lifetime lifetime = Lifetime::kUntilDestroyed);

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
