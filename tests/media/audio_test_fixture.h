// Base of the audio client tests: the real codec libraries bound for each
// test (skipped where they are not built) and the log recorded.
#pragma once

#include "base/config.h"
#include "media/codec_library.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/log_recorder.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>

namespace talvik::test {

class AudioTest : public testing::Test {
protected:
    void SetUp() override
    {
        config.SetString(kUninstallKey, kUninstallValue, std::string(TALVIK_TEST_CODEC_DIR) + "uninstall.exe");
        if (!LoadCodecLibraries(config))
            TALVIK_SKIP_MISSING() << "the codec libraries in " << TALVIK_TEST_CODEC_DIR << " are not built";
    }
    void TearDown() override { UnloadCodecLibraries(); }

    FakeConfigStore config;
    LogRecorder log;
};

} // namespace talvik::test
