// The tray's pipe server in this process, with the service's client on a
// thread: a pending connect that ends in failure does not leave the
// endpoint dead.
#include "service/tray_pipe.h"
#include "tray/pipe_server.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

TEST(pipe_server, a_connect_that_fails_is_started_again)
{
    const std::string endpoint = "\\\\.\\pipe\\talvik-test-" + std::to_string(GetCurrentProcessId());
    std::vector<int> codes;
    talvik::PipeServer server([&codes](int code) { codes.push_back(code); });
    ASSERT_TRUE(server.Create(endpoint));
    server.PollPipeServer();
    ASSERT_TRUE(CancelIoEx(server.Handle(), nullptr));
    server.PollPipeServer();

    std::atomic<bool> done{false};
    talvik::TrayDelivery result = talvik::TrayDelivery::kFailed;
    std::thread client([&] {
        result = talvik::SendToTray(endpoint, 5, 3000);
        done = true;
    });
    for (int i = 0; i < 200 && !done; ++i) {
        server.PollPipeServer();
        Sleep(20);
    }
    client.join();
    EXPECT_EQ(result, talvik::TrayDelivery::kAnswered);
    EXPECT_EQ(codes, std::vector<int>{5});
}
