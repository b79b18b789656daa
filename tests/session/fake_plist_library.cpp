// The stand-in libplist DLL that the stand-in libusbmuxd depends on.
extern "C" __declspec(dllexport) void plist_free(void*) {}
