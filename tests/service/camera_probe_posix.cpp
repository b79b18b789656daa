#include "tests/service/camera_probe_posix.h"

#include "media/pixel_format.h"
#include "tests/support/helper_process.h"
#include "tools/camview/picture_rgb.h"
#include "tools/phonesim/frame_code.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using namespace std::chrono_literals;

namespace talvik::test {

std::optional<int> CameraProbe::Camview(const std::vector<std::string>& arguments, std::string* output) const
{
    std::vector<std::string> all{"--file", file_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    HelperProcess camview(SiblingProgram("camview"), all);
    const std::optional<int> code = camview.Wait(20s);
    if (output)
        *output = camview.Output();
    return code;
}

std::vector<std::uint8_t> CameraProbe::Grab(std::uint32_t bytes) const
{
    TempDir directory;
    const std::string out = directory.File("picture.raw");
    for (int attempt = 0; attempt < 5; ++attempt) {
        HelperProcess shell("/bin/sh", {"-c", "\"$0\" --file \"$1\" --raw --timeout 5 2>/dev/null | head -c $2 > \"$3\"",
                                        SiblingProgram("camview"), file_, std::to_string(bytes), out});
        EXPECT_EQ(shell.Wait(20s), 0);
        const std::string picture = ReadFile(out);
        if (picture.size() == bytes)
            return {picture.begin(), picture.end()};
    }
    return {};
}

void CameraProbe::Snapshot(const std::string& name) const
{
    const std::filesystem::path directory =
        std::filesystem::path(SiblingProgram("camview")).parent_path().parent_path() / "snapshots";
    std::filesystem::create_directories(directory);
    EXPECT_EQ(Camview({"--snapshot", (directory / (name + ".png")).string()}), 0) << name;
}

std::optional<std::uint32_t> CameraProbe::FrameNumber(std::uint32_t width, std::uint32_t height,
                                                      DriverPixelFormat format, std::uint32_t bars) const
{
    const auto until = std::chrono::steady_clock::now() + 3s;
    do {
        const std::vector<std::uint8_t> picture = Grab(FrameBytes(format, width, height));
        if (std::optional<std::uint32_t> number = ReadFrameNumber(picture, width, height, format, bars))
            return number;
    } while (std::chrono::steady_clock::now() < until);
    return std::nullopt;
}

std::optional<std::uint32_t> ReadFrameNumber(const std::vector<std::uint8_t>& bytes, std::uint32_t width,
                                             std::uint32_t height, DriverPixelFormat format, std::uint32_t bars)
{
    const std::optional<camview::Image> luma = camview::ToLuma(bytes, width, height, format);
    if (!luma)
        return std::nullopt;
    return phonesim::ReadFrameCode(luma->pixels.data() + std::size_t{bars} * width, static_cast<int>(width),
                                   static_cast<int>(width), static_cast<int>(height - 2 * bars));
}

} // namespace talvik::test
