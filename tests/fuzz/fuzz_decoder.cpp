// Fuzzes VideoDecoder (Decode, ReceiveFrames, ScaleAndDeliver) through the
// real codec libraries with a sequence of video messages into camera
// buffers of every pixel format, at even and odd sizes, turned over and
// mirrored as the input says.
//
// Each buffer is its own mapping that ends, kScalerSlackBytes after the
// picture as in the camera client, where an inaccessible page begins, and
// starts after guard bytes, so that a write past either end by the
// libraries (which carry no sanitizer) faults or shows. Every buffer
// handed out must come back committed or given back before the call that
// asked for it returns.
//
// Input:
//   byte 0       bits 0-1: pixel format index (3: nothing usable); bit 2:
//                the camera hands out no buffer; bit 3: the camera stores
//                its rows top-down, so that ARGB32 is handed out as BGRx
//   bytes 1-3    width - 1 (byte 1, bit 0 of byte 3) and height - 1
//                (byte 2, bit 1 of byte 3), 1 to 512 each
//   then messages: a flags byte, a 16-bit little-endian size, the payload
//     flags bits 0-1: orientation; bit 2: the tick drains the decoder after
//     the message; bit 3: the camera asks for the next pixel format; bit 4:
//     the camera's width changes by one; bit 5: the message carries user
//     data; bit 6: the payload is a raw NV12 picture of the camera's size,
//     ending where an inaccessible page begins
#include "base/config.h"
#include "media/codec_library.h"
#include "media/frame_layout.h"
#include "media/pixel_format.h"
#include "media/video_decoder.h"
#include "tests/support/fake_config_store.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace talvik;

namespace {

constexpr std::size_t kGuard = 64;
constexpr std::uint8_t kStray = 0x5A;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_decoder: %s\n", what);
    std::abort();
}

// `bytes` bytes and `slack` more, followed by an inaccessible page and
// preceded by guard bytes: a camera buffer with the scaler's slack, or a
// raw picture that ends where the message holding it does.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t bytes, std::size_t slack = kScalerSlackBytes) : bytes_(bytes)
    {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t used = ((bytes + slack + kGuard + page - 1) / page) * page;
        size_ = used + page;
        void* map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED)
            Fail("mmap failed");
        base_ = static_cast<std::uint8_t*>(map);
        if (mprotect(base_ + used, page, PROT_NONE) != 0)
            Fail("mprotect failed");
        data_ = base_ + used - slack - bytes;
        std::memset(data_ - kGuard, kStray, kGuard);
    }
    ~GuardedBuffer() { munmap(base_, size_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::uint8_t* data() { return data_; }
    std::size_t bytes() const { return bytes_; }
    bool GuardIntact() const
    {
        for (std::size_t i = 1; i <= kGuard; ++i)
            if (data_[-static_cast<std::ptrdiff_t>(i)] != kStray)
                return false;
        return true;
    }

private:
    std::size_t bytes_;
    std::size_t size_ = 0;
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
};

// The camera as the engine plays it: what it asks for, the one buffer out.
class Camera final : public CVideoDecoderObserver, public DroppedPictureObserver {
public:
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    DriverPixelFormat format = kPixelArgb32;
    bool handOut = true;
    bool topDown = false;

    std::uint8_t* GetFrameBuffer(std::uint32_t& w, std::uint32_t& h, std::int32_t& f) override
    {
        if (out_)
            Fail("a second buffer asked for while one is out");
        w = width;
        h = height;
        f = handedOut();
        if (!handOut)
            return nullptr;
        // RGBA32 and unusable sizes still get a buffer, as the camera client
        // hands one out for whatever the device describes.
        const std::size_t bytes = std::max<std::size_t>(FrameBytes(handedOut(), width, height), 1);
        if (!buffer_ || buffer_->bytes() != bytes) {
            delete buffer_;
            buffer_ = new GuardedBuffer(bytes);
        }
        out_ = true;
        return buffer_->data();
    }

    void OnFrameReady(std::uint8_t* buffer, std::uint32_t w, std::uint32_t h, std::int32_t f,
                      std::uintptr_t userData) override
    {
        Return(buffer, userData);
        if (w != width || h != height || f != handedOut())
            Fail("a picture came back with another size or format than its buffer");
    }

    void OnPictureDropped(std::uint8_t* buffer, std::uintptr_t userData) override
    {
        if (buffer || out_)
            Return(buffer, userData);
        else
            CheckUserData(userData);
    }

    // After each call into the decoder: nothing may still be out.
    void CheckAllBack() const
    {
        if (out_)
            Fail("a buffer handed out was neither committed nor given back");
    }

private:
    DriverPixelFormat handedOut() const { return format == kPixelArgb32 && topDown ? kPixelBgrx : format; }

    void Return(std::uint8_t* buffer, std::uintptr_t userData)
    {
        if (!out_ || !buffer_ || buffer != buffer_->data())
            Fail("a buffer came back that was not handed out");
        if (!buffer_->GuardIntact())
            Fail("the guard bytes before the buffer were written");
        out_ = false;
        CheckUserData(userData);
    }

    void CheckUserData(std::uintptr_t userData) const
    {
        // User data is either 0 or the value of some message so far.
        if (userData != 0 && (userData & 0xFFFF0000u) != 0x7A1F0000u)
            Fail("user data came back that no packet carried");
    }

    GuardedBuffer* buffer_ = nullptr;
    bool out_ = false;
};

Camera* camera;
VideoDecoder* decoder;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    auto logger = std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_st>());
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    // Kept loaded through the exit, so that whatever the libraries and
    // their dependencies keep for good is still named in a leak report (and
    // matched by the suppressions) instead of lost with the unload.
    const std::string libraries[] = {"libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR),
                                     "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR),
                                     "libswscale.so." + std::to_string(LIBSWSCALE_VERSION_MAJOR),
                                     "libswresample.so." + std::to_string(LIBSWRESAMPLE_VERSION_MAJOR)};
    for (const std::string& library : libraries)
        if (!dlopen(library.c_str(), RTLD_NOW | RTLD_NODELETE))
            Fail("a codec library could not be loaded");
    test::FakeConfigStore install;
    install.SetString(kUninstallKey, kUninstallValue, "/nonexistent/uninstall.exe");
    if (!LoadCodecLibraries(install))
        Fail("the codec libraries could not be bound");
    // The decoding library's own complaints about broken streams would
    // drown the fuzzer's output.
    if (void* library = dlopen(libraries[0].c_str(), RTLD_NOW | RTLD_NOLOAD))
        if (auto setLevel = reinterpret_cast<void (*)(int)>(dlsym(library, "av_log_set_level")))
            setLevel(AV_LOG_QUIET);
    camera = new Camera;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    camera->format = PixelFormatFromIndex(data[0] & 3);
    camera->handOut = (data[0] & 4) == 0;
    camera->topDown = (data[0] & 8) != 0;
    camera->width = 1 + (data[1] | (data[3] & 1u) << 8);
    camera->height = 1 + (data[2] | (data[3] >> 1 & 1u) << 8);

    // A fresh decoder for every input, as every session starts one: the
    // library's state must not carry findings from input to input.
    decoder = new VideoDecoder(*camera, camera);
    decoder->Init();
    std::uint16_t sequence = 0;
    for (std::size_t at = 4; at + 3 <= size;) {
        const std::uint8_t flags = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        const std::uint8_t* payload = data + at + 3;
        at += 3 + length;

        if (flags & 8)
            camera->format = PixelFormatFromIndex((camera->format + 1) & 3);
        if (flags & 16)
            camera->width = camera->width == 512 ? 511 : camera->width + 1;
        const std::uintptr_t userData = (flags & 32) ? 0x7A1F0000u | ++sequence : 0;
        if (flags & 64) {
            // A raw NV12 frame of the camera's size, when the payload holds one.
            const std::size_t expected = std::size_t{camera->width} * camera->height * 3 / 2;
            if (length >= expected && camera->width % 2 == 0 && camera->height % 2 == 0) {
                GuardedBuffer frame(expected, 0);
                std::memcpy(frame.data(), payload, expected);
                {
                    std::lock_guard<std::mutex> hold(decoder->Lock());
                    decoder->DeliverRawFrame(frame.data(), camera->width, camera->height, userData);
                }
                camera->CheckAllBack();
            }
            continue;
        }
        decoder->Decode(payload, static_cast<std::uint32_t>(length), flags & 3, userData);
        camera->CheckAllBack();
        if (flags & 4) {
            std::lock_guard<std::mutex> hold(decoder->Lock());
            decoder->ReceiveFrames();
            camera->CheckAllBack();
        }
    }
    {
        std::lock_guard<std::mutex> hold(decoder->Lock());
        decoder->ReceiveFrames();
    }
    camera->CheckAllBack();
    delete decoder;
    decoder = nullptr;
    return 0;
}
