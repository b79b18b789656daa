// The service's end of the tray link as the Wine test drives it, one
// command per run, printing what came of it:
//   send D     SendToTray with code D: "answered", "missing", "busy",
//              "failed" or "no answer"
//   raw TEXT   TEXT as one message on a connection of its own: the answer,
//              bytes outside printable ASCII as \xNN
//   busy       holds one connection that has been answered, then sends
//              code 5 as a second client: what came of that
//   notify D   the service's own notification of code D: over the pipe,
//              or by starting the tray from the install directory when it
//              does not run; "done" once it has been delivered
#include "base/config_store.h"
#include "base/tray_link.h"
#include "service/service_desktop.h"
#include "service/tray_pipe.h"
#include "tests/support/printable.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using talvik::TrayDelivery;

constexpr std::uint32_t kAnswerTimeoutMs = 2000;

const char* Outcome(TrayDelivery delivery)
{
    switch (delivery) {
    case TrayDelivery::kAnswered: return "answered";
    case TrayDelivery::kMissing: return "missing";
    case TrayDelivery::kBusy: return "busy";
    case TrayDelivery::kFailed: return "failed";
    case TrayDelivery::kNoAnswer: return "no answer";
    }
    return "?";
}

// Opens the pipe in message mode; INVALID_HANDLE_VALUE on failure.
HANDLE Open()
{
    const HANDLE pipe = CreateFileA(talvik::TrayEndpoint().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe != INVALID_HANDLE_VALUE && !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        CloseHandle(pipe);
        return INVALID_HANDLE_VALUE;
    }
    return pipe;
}

std::string Exchange(HANDLE pipe, const std::string& message)
{
    DWORD bytes = 0;
    char answer[512];
    if (!WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &bytes, nullptr) ||
        !ReadFile(pipe, answer, sizeof answer, &bytes, nullptr))
        return "(no answer)";
    return talvik::test::Printable(std::string_view(answer, bytes));
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "send" && argc == 3) {
        std::puts(Outcome(talvik::SendToTray(talvik::TrayEndpoint(), std::atoi(argv[2]), kAnswerTimeoutMs)));
    } else if (command == "raw" && argc == 3) {
        const HANDLE pipe = Open();
        std::puts(pipe == INVALID_HANDLE_VALUE ? "(not connected)" : Exchange(pipe, argv[2]).c_str());
        if (pipe != INVALID_HANDLE_VALUE)
            CloseHandle(pipe);
    } else if (command == "busy") {
        const HANDLE first = Open();
        if (first == INVALID_HANDLE_VALUE) {
            std::puts("(not connected)");
            return 1;
        }
        Exchange(first, std::string("4\0", 2));
        std::puts(Outcome(talvik::SendToTray(talvik::TrayEndpoint(), 5, kAnswerTimeoutMs)));
        CloseHandle(first);
    } else if (command == "notify" && argc == 3) {
        talvik::ServiceDesktop desktop(talvik::SystemConfigStore());
        desktop.NotifyTray(static_cast<talvik::TrayCode>(std::atoi(argv[2])));
        desktop.FinishNotifications();
        std::puts("done");
    } else {
        std::fputs("usage: tray_client send D | raw TEXT | busy | notify D\n", stderr);
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
