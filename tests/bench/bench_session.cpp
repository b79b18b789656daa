// The phone session end to end: how fast a real ConnectionManager, with its
// own loop thread, takes the phone simulator's stream (a separate process)
// over TCP and over USB, against the plainest reader of the same stream;
// and how much CPU its threads use while no phone is there.
//
// Throughput: the simulator sends 1000 raw 1280x720 pictures back to back
// (stream_plan.h); the rate counts their video messages, headers included,
// from the first picture to the last. The yardsticks are blocking reads into
// one buffer (bare_readers.h): a recv loop over TCP, and a
// usbmuxd_recv_timeout loop through libusbmuxd and the simulator's usbmuxd
// for USB. The ratios are printed at the end of the run. The manager is
// asked for the stream from inside the announcement's observer call, so
// that the rate does not depend on the way a request from another thread
// takes. Beside the rate: first_picture_ms, from the stream request to the
// first picture; dropped_sessions, sessions that ended before their first
// picture (the phone then connects again and is asked again); loop_cpu_pct,
// the loop thread's share of one core while the pictures came.
//
// Stream start: the same, with 10 pictures and the request made on the
// engine's thread, as the engine makes it: first_picture_ms and
// dropped_sessions tell how long that takes to get through.
//
// Idle: default options (except the port) with nothing to find, the engine
// ticking every 16 ms; the CPU time of the whole process and of the threads
// the first tick started (the loop thread), as a share of one core. The goal
// is below 1%; the figure is reported, never enforced.
#include "session/connection_manager.h"
#include "base/logging.h"
#include "tests/bench/bare_readers.h"
#include "tests/bench/cpu_time.h"
#include "tests/bench/engine_ticks.h"
#include "tests/bench/streaming_engine.h"
#include "tests/support/null_connection_observer.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/uv_peer.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
#include <usbmuxd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

using namespace talvik;
using namespace talvik::bench;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kRunTimeout{30};
constexpr std::chrono::seconds kStartTimeout{15};
constexpr std::chrono::seconds kIdleSettling{1};
constexpr std::chrono::seconds kIdleMeasured{3};

// The service's log, kept in memory and shown only when a run fails.
std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> g_serviceLog;

// A failed run's error with what both sides logged last.
void AddLogTails(StreamResult& result, const test::HelperProcess* phone)
{
    if (result.error.empty())
        return;
    result.error += "\nservice:\n";
    for (const std::string& line : g_serviceLog->last_formatted(20))
        result.error += line;
    const std::string phoneLog = phone ? phone->Output() : "(not started)";
    result.error += "phonesim:\n" + phoneLog.substr(phoneLog.size() > 1500 ? phoneLog.size() - 1500 : 0);
}

// The simulator in usb mode as this process's usbmuxd, up and listening.
std::unique_ptr<test::HelperProcess> StartUsbmuxd(const test::TempDir& dir, std::vector<std::string> arguments)
{
    const std::string address = "UNIX:" + dir.File("usbmuxd.sock");
    setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
    arguments.insert(arguments.begin(), {"usb", "--usbmuxd", address});
    auto phone = test::StartPhonesim(arguments);
    if (!phone->WaitForOutput("usbmuxd: listening on", std::chrono::seconds(5)))
        return nullptr;
    return phone;
}

enum class Transport { kTcp, kUsb };

// One session through a real ConnectionManager: over TCP the simulator
// connects to the manager's port (the manager runs without USB); over USB
// it is the usbmuxd the manager's libusbmuxd finds.
StreamResult RunManager(Transport transport, const StreamPlan& plan, RequestFrom from,
                        std::chrono::seconds timeout)
{
    test::TempDir dir;
    std::unique_ptr<test::HelperProcess> phone;
    if (transport == Transport::kUsb && !(phone = StartUsbmuxd(dir, plan.PhonesimArguments({}))))
        return {.error = "the simulator's usbmuxd did not come up"};
    StreamingEngine engine(plan, from);
    ConnectionManager::Options options;
    options.port = test::UvPeer::FreePort();
    if (transport == Transport::kTcp)
        options.usbmuxd = nullptr;
    ConnectionManager manager(&engine, options);
    if (transport == Transport::kTcp)
        phone = test::StartPhonesim(plan.PhonesimArguments({"connect", "--port", std::to_string(options.port)}));
    StreamResult result = engine.Run(manager, timeout);
    AddLogTails(result, phone.get());
    return result;
}

// One session read by a bare loop: over TCP the simulator connects to a
// plain listening socket; over USB the loop tunnels through libusbmuxd.
StreamResult RunBare(Transport transport, const StreamPlan& plan)
{
    test::TempDir dir;
    std::unique_ptr<test::HelperProcess> phone;
    StreamResult result;
    if (transport == Transport::kTcp) {
        LoopbackListener listener;
        phone = test::StartPhonesim(plan.PhonesimArguments({"connect", "--port", std::to_string(listener.port())}));
        result = ReadTcpBare(listener.fd(), plan, kRunTimeout);
    } else if ((phone = StartUsbmuxd(dir, plan.PhonesimArguments({})))) {
        result = ReadUsbBare(*Usbmuxd(), plan, kRunTimeout);
    } else {
        result.error = "the simulator's usbmuxd did not come up";
    }
    AddLogTails(result, phone.get());
    return result;
}

// Runs `run` for each iteration and reports the rate and the counters.
template <typename Run>
void MeasureThroughput(benchmark::State& state, Run run)
{
    std::uint64_t bytes = 0;
    double firstPictureMs = 0, loopCpu = 0, cpuSpan = 0;
    int dropped = 0;
    for (auto _ : state) {
        const StreamResult result = run();
        if (!result.error.empty()) {
            state.SkipWithError(result.error.c_str());
            return;
        }
        state.SetIterationTime(result.seconds);
        bytes += result.bytes;
        firstPictureMs += result.firstPictureMs;
        dropped += result.droppedSessions;
        loopCpu += result.loopCpuSeconds;
        cpuSpan += result.cpuSpanSeconds;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["first_picture_ms"] = firstPictureMs / static_cast<double>(state.iterations());
    state.counters["dropped_sessions"] = dropped;
    if (cpuSpan > 0)
        state.counters["loop_cpu_pct"] = 100 * loopCpu / cpuSpan;
}

void BM_TcpConnectionManager(benchmark::State& state)
{
    MeasureThroughput(state, [] { return RunManager(Transport::kTcp, {}, RequestFrom::kLoopThread, kRunTimeout); });
}
BENCHMARK(BM_TcpConnectionManager)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_TcpBareRecv(benchmark::State& state)
{
    MeasureThroughput(state, [] { return RunBare(Transport::kTcp, {}); });
}
BENCHMARK(BM_TcpBareRecv)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_UsbConnectionManager(benchmark::State& state)
{
    MeasureThroughput(state, [] { return RunManager(Transport::kUsb, {}, RequestFrom::kLoopThread, kRunTimeout); });
}
BENCHMARK(BM_UsbConnectionManager)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_UsbBareLibusbmuxd(benchmark::State& state)
{
    MeasureThroughput(state, [] { return RunBare(Transport::kUsb, {}); });
}
BENCHMARK(BM_UsbBareLibusbmuxd)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The loop thread's share of a core while a phone streams at its frame rate
// (2 s at 30 fps): what the session costs in ordinary use.
void MeasurePacedStreaming(benchmark::State& state, Transport transport)
{
    StreamPlan plan;
    plan.frames = 60;
    plan.unpaced = false;
    MeasureThroughput(state, [&] { return RunManager(transport, plan, RequestFrom::kLoopThread, kRunTimeout); });
}

void BM_TcpStreaming30fps(benchmark::State& state)
{
    MeasurePacedStreaming(state, Transport::kTcp);
}
BENCHMARK(BM_TcpStreaming30fps)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_UsbStreaming30fps(benchmark::State& state)
{
    MeasurePacedStreaming(state, Transport::kUsb);
}
BENCHMARK(BM_UsbStreaming30fps)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// How long a stream request made on the engine's thread takes to bring the
// first picture. Reported, never failed: a slow start is what it measures.
void MeasureStreamStart(benchmark::State& state, Transport transport)
{
    StreamPlan plan;
    plan.frames = 10;
    for (auto _ : state) {
        const StreamResult result = RunManager(transport, plan, RequestFrom::kEngineThread, kStartTimeout);
        state.counters["dropped_sessions"] = result.droppedSessions;
        if (result.error.empty()) {
            state.SetIterationTime(result.firstPictureMs / 1000);
            state.counters["first_picture_ms"] = result.firstPictureMs;
        } else {
            state.SetIterationTime(static_cast<double>(kStartTimeout.count()));
            state.SetLabel(result.error.substr(0, result.error.find('\n')));
        }
    }
}

void BM_TcpStreamStart(benchmark::State& state)
{
    MeasureStreamStart(state, Transport::kTcp);
}
BENCHMARK(BM_TcpStreamStart)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_UsbStreamStart(benchmark::State& state)
{
    MeasureStreamStart(state, Transport::kUsb);
}
BENCHMARK(BM_UsbStreamStart)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// One idle measurement with whatever usbmuxd the environment names.
void MeasureIdle(benchmark::State& state)
{
    const auto never = [] { return false; };
    for (auto _ : state) {
        test::NullConnectionObserver engine; // never hears from a phone
        ConnectionManager::Options options;
        options.port = test::UvPeer::FreePort();
        ConnectionManager manager(&engine, options);
        const std::vector<pid_t> before = ThreadIds();
        TickUntil(manager, never, Clock::now() + kIdleSettling);
        const std::vector<pid_t> loopThreads = NewThreads(before, ThreadIds());
        const auto loopCpu = [&] {
            double seconds = 0;
            for (pid_t tid : loopThreads)
                seconds += ThreadCpuSeconds(tid);
            return seconds;
        };

        const double process = ProcessCpuSeconds();
        const double loop = loopCpu();
        const Clock::time_point start = Clock::now();
        TickUntil(manager, never, start + kIdleMeasured);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(wall);
        state.counters["cpu_pct"] = 100 * (ProcessCpuSeconds() - process) / wall;
        state.counters["loop_cpu_pct"] = 100 * (loopCpu() - loop) / wall;
        state.counters["loop_threads"] = static_cast<double>(loopThreads.size());
    }
}

void BM_IdleWithoutUsbmuxd(benchmark::State& state)
{
    test::TempDir dir;
    setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + dir.File("nobody-listens.sock")).c_str(), 1);
    MeasureIdle(state);
}
BENCHMARK(BM_IdleWithoutUsbmuxd)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IdleUsbmuxdWithoutDevices(benchmark::State& state)
{
    test::TempDir dir;
    auto usbmuxd = StartUsbmuxd(dir, {"--usb-detached", "--duration", "60"});
    if (!usbmuxd) {
        state.SkipWithError("the simulator's usbmuxd did not come up");
        return;
    }
    MeasureIdle(state);
}
BENCHMARK(BM_IdleUsbmuxdWithoutDevices)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps what the summary needs.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                for (const auto& [name, counter] : run.counters)
                    figures_[run.run_name.function_name][name] = counter.value;
    }

    void PrintSummary() const
    {
        std::printf("\nThroughput, video message bytes (USB frame headers not counted), same run:\n");
        Ratio("TCP: connection manager / bare recv loop", "BM_TcpConnectionManager", "BM_TcpBareRecv");
        Ratio("USB: connection manager / bare libusbmuxd loop", "BM_UsbConnectionManager", "BM_UsbBareLibusbmuxd");
        Ratio("USB: connection manager / bare TCP recv loop", "BM_UsbConnectionManager", "BM_TcpBareRecv");
        std::printf("Loop thread while a phone streams at 30 fps, %% of one core:\n");
        Share("TCP", "BM_TcpStreaming30fps", "loop_cpu_pct");
        Share("USB", "BM_UsbStreaming30fps", "loop_cpu_pct");
        std::printf("Stream request from the engine's thread to the first picture:\n");
        Start("TCP", "BM_TcpStreamStart");
        Start("USB", "BM_UsbStreamStart");
        std::printf("Idle, %% of one core (goal below 1%%), whole process / loop thread:\n");
        Share("no usbmuxd", "BM_IdleWithoutUsbmuxd", "cpu_pct", "loop_cpu_pct");
        Share("usbmuxd without devices", "BM_IdleUsbmuxdWithoutDevices", "cpu_pct", "loop_cpu_pct");
    }

private:
    std::optional<double> Figure(const std::string& benchmark, const std::string& counter) const
    {
        const auto run = figures_.find(benchmark);
        if (run == figures_.end() || !run->second.contains(counter))
            return std::nullopt;
        return run->second.at(counter);
    }

    void Ratio(const char* label, const std::string& measured, const std::string& yardstick) const
    {
        const auto a = Figure(measured, "bytes_per_second");
        const auto b = Figure(yardstick, "bytes_per_second");
        if (a && b)
            std::printf("  %-48s %7.1f / %7.1f MB/s = %.2f\n", label, *a / 1e6, *b / 1e6, *a / *b);
        else
            std::printf("  %-48s not measured\n", label);
    }

    void Start(const char* label, const std::string& benchmark) const
    {
        const auto latency = Figure(benchmark, "first_picture_ms");
        const auto dropped = Figure(benchmark, "dropped_sessions");
        if (latency)
            std::printf("  %-48s %.0f ms, %.0f sessions dropped before it\n", label, *latency, dropped.value_or(0));
        else if (dropped)
            std::printf("  %-48s no picture within %lld s, %.0f sessions dropped\n", label,
                        static_cast<long long>(kStartTimeout.count()), *dropped);
        else
            std::printf("  %-48s not measured\n", label);
    }

    // One or more counters of a benchmark, separated by " / ".
    template <typename... Names>
    void Share(const char* label, const std::string& benchmark, const Names&... counters) const
    {
        std::string text;
        for (const std::optional<double>& value : {Figure(benchmark, counters)...}) {
            if (!value) {
                std::printf("  %-48s not measured\n", label);
                return;
            }
            text += (text.empty() ? "" : " / ") + fmt::format("{:.2f}", *value);
        }
        std::printf("  %-48s %s\n", label, text.c_str());
    }

    std::map<std::string, std::map<std::string, double>> figures_;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    g_serviceLog = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100);
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, g_serviceLog);
    logger->set_level(spdlog::level::info);
    spdlog::set_default_logger(logger);
    // Otherwise libusbmuxd ignores USBMUXD_SOCKET_ADDRESS until the system's
    // usbmuxd directory appears.
    libusbmuxd_set_use_inotify(0);
    // The DNS-SD compatibility library warns on every use otherwise.
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
