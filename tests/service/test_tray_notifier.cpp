// Tray notifications leave the caller's thread at once and reach the tray
// in order, even while the tray is slow to answer.
#include "service/tray_notifier.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <future>

using namespace talvik;

TEST(tray_notifier, posts_return_at_once_and_arrive_in_order)
{
    test::LogRecorder log;
    std::promise<void> trayAnswers;
    std::shared_future<void> answered = trayAnswers.get_future().share();
    std::mutex lock;
    std::vector<std::string> seen;
    {
        TrayNotifier notifier(
            [&](int code) {
                answered.wait(); // a tray that takes its time
                std::lock_guard<std::mutex> guard(lock);
                seen.push_back("sent " + std::to_string(code));
                return code == 4 ? TrayDelivery::kMissing : TrayDelivery::kAnswered;
            },
            [&](int code) {
                std::lock_guard<std::mutex> guard(lock);
                seen.push_back("started tray with " + std::to_string(code));
            });
        // All of these return while the first one is still waiting; one more
        // than the queue holds is dropped.
        for (int code : {5, 4, 1, 5, 1})
            notifier.Post(code);
        EXPECT_TRUE(log.Has("error: Tray notification 1 dropped: the tray is not answering"));
        trayAnswers.set_value();
        notifier.Finish(); // delivers what is queued
        notifier.Post(5); // after Finish: nothing more goes out
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"sent 5", "sent 4", "started tray with 4", "sent 1", "sent 5"}));
}

TEST(tray_notifier, a_tray_that_never_answers_is_reported_and_passed_by)
{
    test::LogRecorder log;
    std::vector<int> sent;
    TrayNotifier notifier(
        [&](int code) {
            sent.push_back(code);
            return code == 5 ? TrayDelivery::kNoAnswer : TrayDelivery::kAnswered;
        },
        [](int) {});
    notifier.Post(5);
    notifier.Post(0);
    notifier.Finish();
    EXPECT_EQ(sent, (std::vector<int>{5, 0}));
    EXPECT_TRUE(log.Has("error: Tray did not answer notification 5 within 2000 ms"));
}
