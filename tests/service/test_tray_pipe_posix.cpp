// The service's end of the tray link against real Unix sockets: what each
// kind of tray (answering, absent, busy, silent) makes of a notification.
#include "service/tray_pipe.h"

#include "tests/service/tray_server_posix.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

using namespace std::chrono_literals;
using talvik::SendToTray;
using talvik::TrayDelivery;
using Clock = std::chrono::steady_clock;

namespace {

sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A socket listening on `path` with `backlog` that never accepts.
int Listener(const std::string& path, int backlog)
{
    const sockaddr_un address = AddressOf(path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, backlog), 0);
    return fd;
}

} // namespace

TEST(tray_pipe, a_listening_tray_gets_each_code_as_two_bytes_and_answers)
{
    talvik::test::TempDir dir;
    talvik::test::TrayServer tray(dir.File("talvikpipe"));
    ASSERT_TRUE(tray.ok());

    for (int code : {5, 4, 0})
        EXPECT_EQ(SendToTray(dir.File("talvikpipe"), code, 2000), TrayDelivery::kAnswered);
    EXPECT_EQ(tray.Messages(), (std::vector<std::string>{{"5\0", 2}, {"4\0", 2}, {"0\0", 2}}));
}

TEST(tray_pipe, no_tray_is_missing_busy_is_tried_twice_and_silence_is_bounded)
{
    talvik::test::TempDir dir;

    // No socket file, and one left behind by a tray that has ended.
    EXPECT_EQ(SendToTray(dir.File("nothing-here"), 5, 2000), TrayDelivery::kMissing);
    close(Listener(dir.File("stale"), 1));
    EXPECT_EQ(SendToTray(dir.File("stale"), 5, 2000), TrayDelivery::kMissing);

    // A backlog of 0 holds one pending connection; the next finds the tray
    // busy, on both attempts, 10 ms apart.
    const int busy = Listener(dir.File("busy"), 0);
    const int queued = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const sockaddr_un busyAddress = AddressOf(dir.File("busy"));
    ASSERT_EQ(connect(queued, reinterpret_cast<const sockaddr*>(&busyAddress), sizeof busyAddress), 0);
    auto start = Clock::now();
    EXPECT_EQ(SendToTray(dir.File("busy"), 5, 2000), TrayDelivery::kBusy);
    EXPECT_GE(Clock::now() - start, 10ms);
    EXPECT_LT(Clock::now() - start, 1s);
    close(queued);
    close(busy);

    // A tray that takes the message and never answers costs the bound.
    const int silent = Listener(dir.File("silent"), 1);
    start = Clock::now();
    EXPECT_EQ(SendToTray(dir.File("silent"), 4, 300), TrayDelivery::kNoAnswer);
    EXPECT_GE(Clock::now() - start, 290ms);
    EXPECT_LT(Clock::now() - start, 2s);
    close(silent);
}
