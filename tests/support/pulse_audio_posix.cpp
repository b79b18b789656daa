#include "tests/support/pulse_audio_posix.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

namespace talvik::test {
namespace {

std::string FindProgram(const std::string& name)
{
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    for (std::size_t from = 0, to; from <= path.size(); from = to + 1) {
        to = std::min(path.find(':', from), path.size());
        const std::string candidate = path.substr(from, to - from) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds timeout)
{
    for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

} // namespace

std::string PulseAudio::Start()
{
    for (const char* tool : {"pulseaudio", "pactl", "parec"})
        if (FindProgram(tool).empty())
            return std::string(tool) + " is not installed (scripts/install-linux-deps.sh installs it)";
    const std::string script = dir.File("talvik.pa");
    WriteFile(script, "load-module module-native-protocol-unix auth-anonymous=1 socket=" + Socket() + "\n");
    daemon_ = std::make_unique<HelperProcess>(
        FindProgram("pulseaudio"),
        std::vector<std::string>{"-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                 "--disable-shm=yes", "--log-target=stderr"},
        std::vector<std::string>{"HOME=" + dir.path(), "PULSE_RUNTIME_PATH=" + dir.path(),
                                 "PULSE_STATE_PATH=" + dir.path()});
    if (!WaitUntil([&] { return FileExists(Socket()); }, 10s))
        return "PulseAudio does not run here: " + daemon_->Output();
    return {};
}

bool PulseAudio::AddPipeSource(const std::string& fifo)
{
    return Client("pactl", {"load-module", "module-pipe-source", "source_name=talvik_mic", "file=" + fifo,
                            "format=s16le", "rate=44100", "channels=2"})
               ->Wait(10s) == 0;
}

std::unique_ptr<HelperProcess> PulseAudio::Record(const std::string& file)
{
    std::unique_ptr<HelperProcess> parec = Client(
        "parec", {"--device=talvik_mic", "--format=s16le", "--rate=44100", "--channels=2", "--latency-msec=20", file});
    const bool recording = WaitUntil(
        [&] {
            std::unique_ptr<HelperProcess> list = Client("pactl", {"list", "short", "source-outputs"});
            return list->Wait(10s) == 0 && !list->Output().empty();
        },
        10s);
    return recording ? std::move(parec) : nullptr;
}

std::unique_ptr<HelperProcess> PulseAudio::Client(const std::string& tool, const std::vector<std::string>& arguments)
{
    return std::make_unique<HelperProcess>(FindProgram(tool), arguments,
                                           std::vector<std::string>{"HOME=" + dir.path(),
                                                                    "PULSE_SERVER=unix:" + Socket()});
}

} // namespace talvik::test
