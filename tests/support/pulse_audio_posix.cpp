#include "tests/support/pulse_audio_posix.h"

#include <chrono>

using namespace std::chrono_literals;

namespace talvik::test {

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
