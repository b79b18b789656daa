#include "media/codec_library.h"

#include "base/config.h"
#include "base/dynamic_library.h"

#include <array>
#include <memory>
#include <string>

namespace talvik {

namespace {

enum CodecLibraryIndex { kUtilityLibrary, kDecoderLibrary, kResamplerLibrary, kScalerLibrary, kLibraryCount };

#define TALVIK_STRINGIFY2(x) #x
#define TALVIK_STRINGIFY(x) TALVIK_STRINGIFY2(x)
#ifdef _WIN32
#define TALVIK_CODEC_FILE(name, major) name "-" TALVIK_STRINGIFY(major) ".dll"
#else
#define TALVIK_CODEC_FILE(name, major) "lib" name ".so." TALVIK_STRINGIFY(major)
#endif

// File names follow the major versions of the headers the build uses.
constexpr std::array<const char*, kLibraryCount> kLibraryFiles = {
    TALVIK_CODEC_FILE("avutil", LIBAVUTIL_VERSION_MAJOR),
    TALVIK_CODEC_FILE("avcodec", LIBAVCODEC_VERSION_MAJOR),
    TALVIK_CODEC_FILE("swresample", LIBSWRESAMPLE_VERSION_MAJOR),
    TALVIK_CODEC_FILE("swscale", LIBSWSCALE_VERSION_MAJOR),
};

// A full library path must fit the 256-byte path buffer with its terminator.
constexpr std::size_t kLibraryPathBytes = 256;

struct Binding {
    std::array<std::unique_ptr<DynamicLibrary>, kLibraryCount> libraries;
    CodecEntryPoints entries;
    bool bound = false;
};

Binding& State()
{
    static Binding binding;
    return binding;
}

std::unique_ptr<DynamicLibrary> OpenLibrary(const std::string& directory, const char* file)
{
    const std::string path = directory + file;
    std::unique_ptr<DynamicLibrary> library;
    if (path.size() + 1 <= kLibraryPathBytes)
        library = DynamicLibrary::Open(path);
#ifndef _WIN32
    // Linux also takes the system's own copy.
    if (!library)
        library = DynamicLibrary::Open(file);
#endif
    return library;
}

// Resolves, in table order, the entry points of the scaler library or of the
// other three; false when any of them is missing.
bool Resolve(Binding& b, bool scaler)
{
    bool complete = true;
#define TALVIK_CODEC_RESOLVE(library, name)                                                                        \
    if ((library == kScalerLibrary) == scaler) {                                                                   \
        b.entries.name = nullptr;                                                                                  \
        if (!b.libraries[library] || !b.libraries[library]->Bind(#name, b.entries.name))                           \
            complete = false;                                                                                      \
    }
    TALVIK_CODEC_ENTRY_POINTS(TALVIK_CODEC_RESOLVE)
#undef TALVIK_CODEC_RESOLVE
    return complete;
}

} // namespace

bool LoadCodecLibraries(ConfigStore& config)
{
    Binding& b = State();
    if (b.bound)
        return true;
    // A separator only at the very start names no directory to load from.
    const std::optional<std::string> directory = ProgramDirectory(config);
    if (!directory || directory->size() < 2)
        return false;

    for (int i : {kUtilityLibrary, kDecoderLibrary, kResamplerLibrary})
        b.libraries[i] = OpenLibrary(*directory, kLibraryFiles[i]);
    if (!b.libraries[kUtilityLibrary] || !b.libraries[kDecoderLibrary] || !b.libraries[kResamplerLibrary])
        return false;
    const bool first = Resolve(b, false);
    b.libraries[kScalerLibrary] = OpenLibrary(*directory, kLibraryFiles[kScalerLibrary]);
    if (!b.libraries[kScalerLibrary])
        return false;
    const bool second = Resolve(b, true);
    // Nothing may be called through a missing entry point.
    if (!first || !second)
        return false;
    if (static_cast<int>(b.entries.avcodec_version() >> 16) != kCodecMajorVersion)
        return false;
    b.bound = true;
    return true;
}

void UnloadCodecLibraries()
{
    Binding& b = State();
    for (int i : {kScalerLibrary, kDecoderLibrary, kResamplerLibrary, kUtilityLibrary})
        b.libraries[i].reset();
    b.bound = false;
}

bool CodecLibrariesBound()
{
    return State().bound;
}

const CodecEntryPoints& Codec()
{
    return State().entries;
}

} // namespace talvik
