// The service's end of the tray pipe against a server made like the tray's,
// on a thread of the test.
#include "service/tray_notifier.h"
#include "service/tray_pipe.h"
#include "tests/service/tray_pipe_server_win.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace talvik;
using namespace std::chrono_literals;

namespace {

const std::string kAnswer("Default answer from server", 27);

std::string PipeName(const char* test)
{
    return std::string("\\\\.\\pipe\\talvik-test-") + test + "-" + std::to_string(GetCurrentProcessId());
}

// The tray's server on a thread of its own. Records every message it reads
// and answers the n-th (from 1) with answer(n), or not at all.
class TrayThread {
public:
    using Answer = std::function<std::optional<std::string>(std::size_t n)>;

    TrayThread(const std::string& name, Answer answer)
        : server_(name), stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), answer_(std::move(answer))
    {
        EXPECT_TRUE(server_.ok() && stop_ != nullptr) << GetLastError();
        thread_ = std::thread([this] {
            server_.Serve(stop_, INFINITE, [this](const std::string& message) { return Record(message); });
        });
    }
    ~TrayThread()
    {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }

    std::vector<std::string> messages()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return messages_;
    }

private:
    std::optional<std::string> Record(const std::string& message)
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(message);
        return answer_(messages_.size());
    }

    test::TrayPipeServer server_;
    HANDLE stop_;
    Answer answer_;
    std::mutex lock_;
    std::vector<std::string> messages_;
    std::thread thread_;
};

} // namespace

TEST(tray_pipe, delivers_each_notification_and_takes_a_long_answer)
{
    const std::string name = PipeName("answered");
    // The second answer is longer than the 512-byte buffer.
    TrayThread tray(name, [](std::size_t n) { return n == 2 ? std::string(1300, 'a') : kAnswer; });

    EXPECT_EQ(SendToTray(name, 5, 2000), TrayDelivery::kAnswered);
    EXPECT_EQ(SendToTray(name, 0, 2000), TrayDelivery::kAnswered);
    EXPECT_EQ(SendToTray(name, 4, 2000), TrayDelivery::kAnswered);
    EXPECT_EQ(tray.messages(), (std::vector<std::string>{{"5\0", 2}, {"0\0", 2}, {"4\0", 2}}));
}

TEST(tray_pipe, tells_a_missing_tray_from_a_busy_one)
{
    EXPECT_EQ(SendToTray(PipeName("missing"), 5, 2000), TrayDelivery::kMissing);

    const std::string name = PipeName("busy");
    TrayThread tray(name, [](std::size_t) { return kAnswer; });
    // Another client holds the one instance.
    HANDLE other = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(SendToTray(name, 5, 2000), TrayDelivery::kBusy);
    CloseHandle(other);
    EXPECT_TRUE(tray.messages().empty());
}

TEST(tray_pipe, a_tray_that_never_answers_costs_the_bound_and_the_next_code_still_goes_out)
{
    const std::string name = PipeName("silent");
    // Silent for the first two messages.
    TrayThread tray(name, [](std::size_t n) { return n > 2 ? std::optional(kAnswer) : std::nullopt; });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendToTray(name, 5, 300), TrayDelivery::kNoAnswer);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 290ms);
    EXPECT_LT(took, 1500ms);

    // The service's notifier, with the bound it uses.
    test::LogRecorder log;
    std::mutex lock;
    std::vector<std::pair<int, TrayDelivery>> delivered;
    TrayNotifier notifier(
        [&](int code) {
            const TrayDelivery result = SendToTray(name, code, TrayNotifier::kAnswerTimeoutMs);
            std::lock_guard<std::mutex> guard(lock);
            delivered.emplace_back(code, result);
            return result;
        },
        [](int code) { ADD_FAILURE() << "tray started with " << code; });
    notifier.Post(4);
    notifier.Post(1);
    notifier.Finish();

    EXPECT_EQ(delivered, (std::vector<std::pair<int, TrayDelivery>>{{4, TrayDelivery::kNoAnswer},
                                                                   {1, TrayDelivery::kAnswered}}));
    EXPECT_TRUE(log.Has("error: Tray did not answer notification 4 within 2000 ms"));
    EXPECT_EQ(tray.messages(), (std::vector<std::string>{{"5\0", 2}, {"4\0", 2}, {"1\0", 2}}));
}
