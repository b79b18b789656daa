#include "tests/bench/system_codecs.h"

#include "base/config.h"
#include "media/codec_library.h"
#include "tests/support/fake_config_store.h"

#include <cstdio>

namespace talvik::bench {

bool BindSystemCodecLibraries()
{
    // No install directory of codec libraries: the system loader finds them.
    test::FakeConfigStore config;
    config.SetString(kUninstallKey, kUninstallValue, "/nonexistent/uninstall");
    if (LoadCodecLibraries(config))
        return true;
    std::fprintf(stderr, "the codec libraries cannot be bound\n");
    return false;
}

} // namespace talvik::bench
