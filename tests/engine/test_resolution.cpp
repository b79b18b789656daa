// Which format the engine asks the phone for.
#include "engine/resolution.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <vector>

using namespace talvik;

namespace {

constexpr std::uint32_t kMpeg4 = 0;
constexpr std::uint32_t kH264 = 1;

struct Case {
    const char* name;
    std::vector<ClientFormat> offered;
    int driverWidth, driverHeight;
    std::uint32_t width, height; // chosen
};

} // namespace

TEST(choose_format, picks_exact_then_same_ratio_then_nearest_ratio)
{
    test::LogRecorder quiet;
    const std::vector<ClientFormat> phone = {
        {1920, 1080, 30, kH264}, {1280, 720, 30, kH264}, {640, 480, 30, kH264}, {1280, 720, 30, kMpeg4}};
    const Case cases[] = {
        {"exact size", phone, 1280, 720, 1280, 720},
        {"same ratio, first entry within 0.01", phone, 960, 540, 1920, 1080},
        {"same ratio 4:3", phone, 800, 600, 640, 480},
        {"nearest ratio, the earlier of a tie", phone, 1000, 500, 1920, 1080},
        {"driver asked for nothing: 1280 x 720", phone, 0, 0, 1280, 720},
        {"only MPEG-4: the wanted size itself", {{640, 480, 30, kMpeg4}, {1280, 720, 30, kMpeg4}}, 640, 480, 640, 480},
        {"empty list: the wanted size itself", {}, 800, 600, 800, 600},
        {"exact size with codec 0 skipped for a later H.264 one",
         {{640, 480, 60, kMpeg4}, {1280, 720, 30, kH264}, {640, 480, 15, kH264}}, 640, 480, 640, 480},
        {"1.3333 and 1.34 share a ratio", {{1072, 800, 30, kH264}, {1066, 800, 30, kH264}}, 640, 480, 1072, 800},
        {"1.3333 and 1.345 do not", {{1076, 800, 30, kH264}, {1066, 800, 30, kH264}}, 640, 480, 1066, 800},
        {"first same-ratio entry beats a closer size", {{2048, 1536, 30, kH264}, {800, 600, 30, kH264}}, 640, 480,
         2048, 1536},
        {"a zero height is never chosen", {{640, 0, 30, kH264}, {0, 0, 30, kH264}, {1920, 1080, 30, kH264}}, 640,
         480, 1920, 1080},
    };
    for (const Case& c : cases) {
        const ClientFormat chosen = ChooseFormat(c.offered.data(), static_cast<std::uint32_t>(c.offered.size()),
                                                 c.driverWidth, c.driverHeight);
        EXPECT_EQ(chosen, (ClientFormat{c.width, c.height, 30, 1})) << c.name;
    }
}

TEST(choose_format, logs_each_step_it_takes)
{
    test::LogRecorder log;
    const ClientFormat offered[] = {{1920, 1080, 60, kH264}, {1280, 720, 15, kH264}};
    ChooseFormat(offered, 2, 1000, 500);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "info: Choosing best video resolution from 2 client resolutions",
                               "info: \t\tDriver has requested resolution 1000 x 500, try to find that",
                               "info: \t\tExact resolution not found, checking if resolution with same aspect ratio "
                               "available",
                               "info: \t\tResolution with same aspect ratio not found, choose one with nearest "
                               "aspect ratio",
                               "info: \t\t\tSelected resolution 1920 x 1080 as it has nearest aspect ratio",
                           }));

    log.Clear();
    ChooseFormat(offered, 2, 0, 0);
    EXPECT_TRUE(log.Has("info: \t\tDriver has not requested any resolution yet, choosing resolution based on client"));
    EXPECT_TRUE(log.Has("info: \t\t\tClient supports exactly resolution 1280 x 720"));

    log.Clear();
    ChooseFormat(offered, 2, 960, 540);
    EXPECT_TRUE(log.Has("info: \t\t\tFound resolution with same aspect ratio: (wanted:960 x 540) (found:1920 x 1080)"));
}
