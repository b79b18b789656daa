// v4l2_capture: a camera consumer that speaks the kernel's V4L2 interface,
// as video-call programs do, run by the tests under pw-v4l2.
//
//     v4l2_capture DEVICE WIDTH HEIGHT FOURCC COUNT FILE
//
// Prints each format the device lists with its sizes ("format YUYV 640x480
// 960x540"), sets WIDTH x HEIGHT FOURCC and prints what the device granted
// ("set 640x480 YUYV"), streams from four mapped buffers and appends the
// first COUNT pictures to FILE. A picture smaller than the granted format,
// or none within 10 s, is a failure: exit code 1 and a line on standard
// error.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string FourccText(std::uint32_t fourcc)
{
    return {static_cast<char>(fourcc & 0xFF), static_cast<char>((fourcc >> 8) & 0xFF),
            static_cast<char>((fourcc >> 16) & 0xFF), static_cast<char>((fourcc >> 24) & 0xFF)};
}

int Fail(const char* what)
{
    std::fprintf(stderr, "v4l2_capture: %s: %s\n", what, std::strerror(errno));
    return 1;
}

void ListFormats(int fd)
{
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; ioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        std::string line = "format " + FourccText(format.pixelformat);
        v4l2_frmsizeenum size{};
        size.pixel_format = format.pixelformat;
        for (size.index = 0; ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index)
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE)
                line += " " + std::to_string(size.discrete.width) + "x" + std::to_string(size.discrete.height);
        std::printf("%s\n", line.c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7 || std::strlen(argv[4]) != 4) {
        std::fprintf(stderr, "usage: v4l2_capture DEVICE WIDTH HEIGHT FOURCC COUNT FILE\n");
        return 2;
    }
    const int count = std::atoi(argv[5]);
    const int fd = open(argv[1], O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return Fail("open");
    ListFormats(fd);

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<std::uint32_t>(std::atoi(argv[2]));
    format.fmt.pix.height = static_cast<std::uint32_t>(std::atoi(argv[3]));
    format.fmt.pix.pixelformat = v4l2_fourcc(argv[4][0], argv[4][1], argv[4][2], argv[4][3]);
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (ioctl(fd, VIDIOC_S_FMT, &format) != 0)
        return Fail("VIDIOC_S_FMT");
    std::printf("set %ux%u %s\n", format.fmt.pix.width, format.fmt.pix.height,
                FourccText(format.fmt.pix.pixelformat).c_str());
    std::fflush(stdout);

    v4l2_requestbuffers request{};
    request.count = 4;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (ioctl(fd, VIDIOC_REQBUFS, &request) != 0 || request.count == 0)
        return Fail("VIDIOC_REQBUFS");
    struct Mapped {
        void* start;
        std::size_t length;
    };
    std::vector<Mapped> buffers;
    for (std::uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (ioctl(fd, VIDIOC_QUERYBUF, &buffer) != 0)
            return Fail("VIDIOC_QUERYBUF");
        void* start = mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
        if (start == MAP_FAILED)
            return Fail("mmap");
        buffers.push_back({start, buffer.length});
        if (ioctl(fd, VIDIOC_QBUF, &buffer) != 0)
            return Fail("VIDIOC_QBUF");
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctl(fd, VIDIOC_STREAMON, &type) != 0)
        return Fail("VIDIOC_STREAMON");

    FILE* out = std::fopen(argv[6], "wb");
    if (out == nullptr)
        return Fail("fopen");
    for (int taken = 0; taken < count;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, 10000);
        if (polled == 0) {
            std::fprintf(stderr, "v4l2_capture: no picture within 10 s after %d\n", taken);
            return 1;
        }
        if (polled < 0)
            return Fail("poll");
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (ioctl(fd, VIDIOC_DQBUF, &buffer) != 0) {
            if (errno == EAGAIN)
                continue;
            return Fail("VIDIOC_DQBUF");
        }
        if (buffer.index >= buffers.size() || buffer.bytesused > buffers[buffer.index].length) {
            std::fprintf(stderr, "v4l2_capture: buffer %u of %u bytes is out of bounds\n", buffer.index,
                         buffer.bytesused);
            return 1;
        }
        if (buffer.bytesused < format.fmt.pix.sizeimage) {
            std::fprintf(stderr, "v4l2_capture: a picture of %u bytes, not %u\n", buffer.bytesused,
                         format.fmt.pix.sizeimage);
            return 1;
        }
        if (std::fwrite(buffers[buffer.index].start, 1, buffer.bytesused, out) != buffer.bytesused)
            return Fail("fwrite");
        ++taken;
        if (ioctl(fd, VIDIOC_QBUF, &buffer) != 0)
            return Fail("VIDIOC_QBUF");
    }
    std::fclose(out);
    ioctl(fd, VIDIOC_STREAMOFF, &type);
    for (const Mapped& mapped : buffers)
        munmap(mapped.start, mapped.length);
    close(fd);
    return 0;
}
