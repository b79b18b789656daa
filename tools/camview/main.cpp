// camview: the camera file's consumer, for developers.
//
//   camview [--file PATH]                 print what is asked for and the
//                                         last picture
//   camview --request WxH FORMAT          ask for another size or format
//                                         (ARGB32, NV12 or YUY2)
//   camview --snapshot OUT.png            save the next picture
//   camview --raw | ffplay -f rawvideo ...  stream the pictures
//   camview --stats [--phonesim-log FILE] frame rate, jitter, latency each
//          [--seconds N]                  second; with --seconds, a summary
//                                         of the N seconds, then the end
//
// --timeout SECONDS bounds the wait for a picture (default 10). The file is
// talvik/camera in the runtime directory, where the service makes it, unless
// --file names another.
#include "base/runtime_directory_posix.h"
#include "media/pixel_format.h"
#include "tools/camview/camera_reader.h"
#include "tools/camview/frame_stats.h"
#include "tools/camview/picture_rgb.h"
#include "tools/camview/png_file.h"

#include <fmt/format.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <strings.h>

namespace talvik::camview {
namespace {

struct Options {
    std::string file;
    std::optional<FrameBufferRecord> request;
    std::string snapshot;
    bool raw = false;
    bool stats = false;
    std::string simulatorLog;
    int seconds = 0;
    std::chrono::milliseconds timeout{10000};
};

constexpr const char* kUsage =
    "usage: camview [--file PATH] [--request WxH ARGB32|NV12|YUY2] [--snapshot OUT.png | --raw | --stats]\n"
    "               [--phonesim-log FILE] [--seconds N] [--timeout SECONDS]\n";

std::optional<DriverPixelFormat> ParseFormat(const char* name)
{
    for (DriverPixelFormat index : {kPixelArgb32, kPixelNv12, kPixelYuy2})
        if (strcasecmp(name, PixelFormatName(index)) == 0)
            return index;
    return std::nullopt;
}

std::optional<FrameBufferRecord> ParseRequest(const char* size, const char* format)
{
    unsigned width = 0, height = 0;
    char end = 0;
    std::optional<DriverPixelFormat> index = ParseFormat(format);
    if (std::sscanf(size, "%ux%u%c", &width, &height, &end) != 2 || width == 0 || height == 0 || width > 8192 ||
        height > 8192 || !index)
        return std::nullopt;
    return DescribeFormat(width, height, *index);
}

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    if (const std::string runtime = talvik::RuntimePath("talvik/camera"); !runtime.empty())
        options.file = runtime;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--file" && hasValue)
            options.file = argv[++i];
        else if (arg == "--request" && i + 2 < argc) {
            options.request = ParseRequest(argv[i + 1], argv[i + 2]);
            if (!options.request)
                return std::nullopt;
            i += 2;
        } else if (arg == "--snapshot" && hasValue)
            options.snapshot = argv[++i];
        else if (arg == "--raw")
            options.raw = true;
        else if (arg == "--stats")
            options.stats = true;
        else if (arg == "--phonesim-log" && hasValue)
            options.simulatorLog = argv[++i];
        else if (arg == "--seconds" && hasValue) {
            options.seconds = std::atoi(argv[++i]);
            if (options.seconds <= 0)
                return std::nullopt;
        } else if (arg == "--timeout" && hasValue)
            options.timeout = std::chrono::milliseconds(std::atoi(argv[++i]) * 1000);
        else
            return std::nullopt;
    }
    if (options.file.empty() || (!options.snapshot.empty() + options.raw + options.stats) > 1)
        return std::nullopt;
    return options;
}

std::string Describe(const FrameBufferRecord& record)
{
    return fmt::format("{}x{} {} ({} bytes)", record.biWidth(), record.biHeight(),
                       PixelFormatName(PixelFormatOf(record)), record.ulBufferSize());
}

int PrintFormat(CameraReader& camera)
{
    fmt::print("request: {}\n", Describe(camera.Request()));
    const std::uint32_t sequence = camera.Sequence();
    Picture last;
    // A picture being written when we look is waited for: the one before it
    // is already partly overwritten.
    if (sequence == 0 || !camera.NextPicture(0, last, std::chrono::seconds(1)))
        fmt::print("last picture: none\n");
    else
        fmt::print("last picture: {}, {} committed\n", Describe(last.record), sequence / 2);
    return 0;
}

int Snapshot(CameraReader& camera, const Options& options)
{
    Picture picture;
    if (!camera.NextPicture(camera.Sequence(), picture, options.timeout)) {
        fmt::print(stderr, "camview: no picture within the time-out\n");
        return 1;
    }
    const DriverPixelFormat format = PixelFormatOf(picture.record);
    std::optional<Image> rgb = ToRgb(picture.bytes, picture.record.biWidth(), picture.record.biHeight(), format);
    if (!rgb) {
        fmt::print(stderr, "camview: cannot convert a {} picture\n", Describe(picture.record));
        return 1;
    }
    std::string error;
    if (!WritePng(options.snapshot, *rgb, error)) {
        fmt::print(stderr, "camview: {}\n", error);
        return 1;
    }
    fmt::print("saved {} to {}\n", Describe(picture.record), options.snapshot);
    return 0;
}

const char* FfmpegPixelFormat(DriverPixelFormat format)
{
    return format == kPixelArgb32 ? "bgra -vf vflip" : format == kPixelNv12 ? "nv12" : "yuyv422";
}

int Raw(CameraReader& camera, const Options& options)
{
    std::signal(SIGPIPE, SIG_IGN); // a closed player ends the loop through fwrite
    std::uint32_t sequence = camera.Sequence();
    std::optional<FrameBufferRecord> format;
    Picture picture;
    while (camera.NextPicture(sequence, picture, options.timeout)) {
        sequence = picture.sequence;
        if (!format) {
            format = picture.record;
            fmt::print(stderr, "camview: {}; play with: ffplay -f rawvideo -pixel_format {} -video_size {}x{} -\n",
                       Describe(picture.record), FfmpegPixelFormat(PixelFormatOf(picture.record)),
                       picture.record.biWidth(), picture.record.biHeight());
        } else if (!(picture.record == *format)) {
            fmt::print(stderr, "camview: the format changed to {}; start again\n", Describe(picture.record));
            return 0;
        }
        if (std::fwrite(picture.bytes.data(), 1, picture.bytes.size(), stdout) != picture.bytes.size() ||
            std::fflush(stdout) != 0)
            return 0;
    }
    fmt::print(stderr, "camview: no picture within the time-out\n");
    return 1;
}

int Stats(CameraReader& camera, const Options& options)
{
    FrameStats stats(options.simulatorLog);
    std::uint32_t sequence = camera.Sequence();
    const std::uint64_t start = MonotonicUs();
    std::uint64_t reportAt = start + 1000000;
    Picture picture;
    while (camera.NextPicture(sequence, picture, options.timeout)) {
        sequence = picture.sequence;
        const std::uint64_t seen = MonotonicUs();
        stats.Add(picture, seen);
        if (seen >= reportAt) {
            fmt::print("{}\n", stats.Report());
            std::fflush(stdout);
            reportAt = seen + 1000000;
        }
        if (options.seconds > 0 && seen - start >= std::uint64_t(options.seconds) * 1000000) {
            fmt::print("{} s: {}\n", options.seconds, stats.Summary());
            return 0;
        }
    }
    fmt::print(stderr, "camview: no picture within the time-out\n");
    return 1;
}

int Run(int argc, char** argv)
{
    std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        fmt::print(stderr, "{}", kUsage);
        return 2;
    }
    std::string error;
    std::unique_ptr<CameraReader> camera = CameraReader::Open(options->file, error);
    if (!camera) {
        fmt::print(stderr, "camview: {}\n", error);
        return 1;
    }
    if (options->request) {
        if (!camera->SetRequest(*options->request, error)) {
            fmt::print(stderr, "camview: {}\n", error);
            return 1;
        }
    }
    if (!options->snapshot.empty())
        return Snapshot(*camera, *options);
    if (options->raw)
        return Raw(*camera, *options);
    if (options->stats)
        return Stats(*camera, *options);
    return PrintFormat(*camera);
}

} // namespace
} // namespace talvik::camview

int main(int argc, char** argv)
{
    return talvik::camview::Run(argc, argv);
}
