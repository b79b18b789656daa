// Binding of the codec libraries: where they are loaded from, the version
// test, incomplete libraries, and the real libraries (Debian's on Linux, the
// FFmpeg 4 DLLs under Wine).
#include "media/codec_library.h"

#include "base/config.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace talvik {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kLibraryFiles[] = {"avutil-56.dll", "avcodec-58.dll", "swresample-3.dll", "swscale-5.dll"};
constexpr unsigned kRealMajor = 58;
#else
constexpr const char* kLibraryFiles[] = {"libavutil.so.57", "libavcodec.so.59", "libswresample.so.4",
                                         "libswscale.so.6"};
constexpr unsigned kRealMajor = 59;
#endif

class CodecLibraryTest : public testing::Test {
protected:
    void TearDown() override { UnloadCodecLibraries(); }

    // Copies of one fake module under the four library names.
    void InstallFake(const char* module)
    {
        for (const char* file : kLibraryFiles)
            fs::copy_file(module, dir.File(file), fs::copy_options::overwrite_existing);
    }

    bool Load(const std::string& uninstallString)
    {
        config.SetString(kUninstallKey, kUninstallValue, uninstallString);
        return LoadCodecLibraries(config);
    }
    bool LoadFromTempDir() { return Load(dir.File("uninstall.exe")); }

    test::TempDir dir;
    test::FakeConfigStore config;
};

TEST_F(CodecLibraryTest, only_complete_libraries_of_the_expected_major_version_are_bound)
{
    struct Case {
        const char* module;
        bool bound;
    } cases[] = {
        {FAKE_CODEC_PATH, true},
        {FAKE_CODEC_OLDER_PATH, false},
        {FAKE_CODEC_NEWER_PATH, false},
        {FAKE_CODEC_INCOMPLETE_PATH, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module);
        InstallFake(c.module);
        EXPECT_EQ(LoadFromTempDir(), c.bound);
        EXPECT_EQ(CodecLibrariesBound(), c.bound);
        UnloadCodecLibraries();
    }
}

TEST_F(CodecLibraryTest, libraries_load_from_the_install_directory_and_again_after_unloading)
{
    InstallFake(FAKE_CODEC_PATH);
    ASSERT_TRUE(LoadFromTempDir());
    // The copy in the install directory, not a library found elsewhere.
    EXPECT_EQ(Codec().avcodec_version(), (kCodecMajorVersion << 16) + (11 << 8) + 100);
    EXPECT_TRUE(Load(dir.File("uninstall.exe")));

    UnloadCodecLibraries();
    EXPECT_FALSE(CodecLibrariesBound());
    InstallFake(FAKE_CODEC_NEWER_PATH);
    EXPECT_FALSE(LoadFromTempDir());
}

TEST_F(CodecLibraryTest, an_unusable_uninstall_string_binds_nothing)
{
    InstallFake(FAKE_CODEC_PATH);
#ifdef _WIN32
    EXPECT_FALSE(Load("uninstall.exe"));
#else
    // Linux without an install directory: the libraries beside the program,
    // else the system's; never the copy in a directory nobody named.
    EXPECT_TRUE(Load("uninstall.exe"));
    EXPECT_NE(Codec().avcodec_version(), (kCodecMajorVersion << 16) + (11 << 8) + 100);
    UnloadCodecLibraries();
#endif
    // A separator only as the first character names no directory.
    EXPECT_FALSE(Load(std::string(1, kPathSeparator) + "uninstall.exe"));
#ifdef _WIN32
    // The opening quote stays part of the directory.
    EXPECT_FALSE(Load("\"" + dir.File("uninstall.exe") + "\""));
#endif
    EXPECT_FALSE(CodecLibrariesBound());
}

TEST_F(CodecLibraryTest, the_real_libraries_are_bound)
{
    // Linux: nothing in the install directory, so the system's libraries.
    ASSERT_TRUE(Load(TALVIK_TEST_CODEC_DIR "uninstall.exe"));
    EXPECT_EQ(Codec().avcodec_version() >> 16, kRealMajor);
    EXPECT_NE(Codec().avcodec_find_decoder(AV_CODEC_ID_H264), nullptr);
}

} // namespace
} // namespace talvik
