// phonesim: the phone running the camera app, simulated. See HelpText() in
// options.cpp for the command line and docs/phonesim.md for the manual.
#include "tools/phonesim/bench.h"
#include "tools/phonesim/dnssd_advertiser.h"
#include "tools/phonesim/exit_codes.h"
#include "tools/phonesim/log.h"
#include "tools/phonesim/options.h"
#include "tools/phonesim/session_runner.h"
#include "tools/phonesim/usb_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace talvik::phonesim {

namespace {

using namespace std::chrono_literals;

int g_signalPipe = -1;

void OnSignal(int)
{
    const char byte = 0;
    [[maybe_unused]] ssize_t ignored = write(g_signalPipe, &byte, 1);
}

// SIGINT and SIGTERM end the run as its duration would.
void StopLoopOnSignals(EventLoop& loop)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_signalPipe = fds[1];
    loop.Watch(fds[0], [&loop] {
        Log("stopping on a signal");
        loop.Stop();
    });
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// connect mode: tries to reach the service once a second until it answers.
class Connector {
public:
    Connector(const Options& options, EventLoop& loop, SessionRunner& runner)
        : options_(options), loop_(loop), runner_(runner)
    {
    }

    void Attempt()
    {
        std::string error;
        const int fd = ConnectTcp(options_.host, options_.port, 2000, error);
        if (fd < 0) {
            // The first failure and then every tenth, not one line a second.
            if (failures_++ % 10 == 0)
                Log("waiting for the service: {}", error);
            AttemptLater();
            return;
        }
        failures_ = 0;
        Log("connected to {}:{}", options_.host, options_.port);
        runner_.Start(fd, Framing::kTcp, -1);
    }

    void AttemptLater()
    {
        loop_.At(EventLoop::Clock::now() + 1s, [this] { Attempt(); });
    }

private:
    const Options& options_;
    EventLoop& loop_;
    SessionRunner& runner_;
    int failures_ = 0;
};

int Simulate(const Options& options)
{
    EventLoop loop;
    StopLoopOnSignals(loop);
    const auto deadline = EventLoop::Clock::now() + std::chrono::duration_cast<EventLoop::Clock::duration>(
                                                        std::chrono::duration<double>(options.durationSeconds));
    SessionRunner runner(options.phone, loop, deadline);
    Connector connector(options, loop, runner);
    int ended = 0;
    runner.onEnded = [&](SessionEnd) {
        if (options.sessions != 0 && ++ended >= options.sessions)
            loop.Stop();
        else if (options.mode == Mode::kConnect)
            connector.AttemptLater();
    };
    bool failed = false;
    std::string error;

    // What each mode sets up lives until the loop ends.
    int listenFd = -1;
    std::unique_ptr<DnssdAdvertiser> advertiser;
    std::unique_ptr<UsbmuxdServer> usbmuxd;
    std::unique_ptr<UsbCommands> commands;

    switch (options.mode) {
    case Mode::kConnect:
        connector.Attempt();
        break;
    case Mode::kListen: {
        listenFd = ListenTcpAnywhere(options.port, error);
        if (listenFd < 0)
            break;
        const std::uint16_t port = LocalPort(listenFd);
        Log("listening on TCP port {}", port);
        loop.Watch(listenFd, [&runner, listenFd] {
            if (const int fd = Accept(listenFd); fd >= 0) {
                Log("accepted a connection");
                runner.Start(fd, Framing::kTcp, -1);
            }
        });
        if (options.dnssd) {
            advertiser = DnssdAdvertiser::Register(loop, options.dnssdName, port, error);
            if (!advertiser)
                break;
            advertiser->onResult = [&loop, &failed](bool registered) {
                if (!registered) {
                    failed = true;
                    loop.Stop();
                }
            };
        }
        break;
    }
    case Mode::kUsb: {
        usbmuxd = std::make_unique<UsbmuxdServer>(loop, options.devices, !options.devicesDetached);
        usbmuxd->onTunnel = [&runner](int fd, int device, Bytes early) {
            runner.Start(fd, Framing::kUsb, device, std::move(early));
        };
        usbmuxd->onDetached = [&runner](int device) { runner.Disconnect(device); };
        if (!usbmuxd->Listen(options.usbmuxd, error))
            break;
        commands = std::make_unique<UsbCommands>(loop, *usbmuxd, STDIN_FILENO);
        if (options.phone.fault == Fault::kUsbFlapping)
            loop.Every(std::chrono::milliseconds(options.flapMs), [server = usbmuxd.get()] { server->Toggle(); });
        break;
    }
    case Mode::kBench:
        break;
    }

    if (!error.empty()) {
        Log("error: {}", error);
        return kExitFailure;
    }
    loop.Run(deadline);
    runner.StopAll();
    if (listenFd >= 0)
        close(listenFd);
    if (failed)
        return kExitFailure;
    if (runner.started() == 0) {
        Log("no service connected");
        return kExitNoService;
    }
    const ExitCode code = ExitCodeFor(*runner.lastEnd());
    Log("exit code {}", static_cast<int>(code));
    return code;
}

} // namespace

} // namespace talvik::phonesim

int main(int argc, char** argv)
{
    using namespace talvik::phonesim;
    const CommandLine commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (commandLine.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (!commandLine.options) {
        std::fprintf(stderr, "phonesim: %s\nTry 'phonesim --help'.\n", commandLine.error.c_str());
        return kExitUsage;
    }
    const Options& options = *commandLine.options;
    if (!OpenLog(options.logPath)) {
        std::fprintf(stderr, "phonesim: cannot open the log file %s\n", options.logPath.c_str());
        return kExitFailure;
    }
    if (options.mode == Mode::kBench)
        return RunBench(options);

    std::signal(SIGPIPE, SIG_IGN);
    // The DNS-SD compatibility library warns on every registration otherwise.
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);
    return Simulate(options);
}
