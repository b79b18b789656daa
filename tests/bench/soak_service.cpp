// The whole-service soak: one TalvikSvc process, its camera file read by
// camview for the whole run, through many phone sessions in a row with real
// H.264, alternating WiFi and USB. Every other pair of sessions ends by the
// phone (WiFi: it closes after its frames; USB: it is detached), the others
// by silence (the phone stops sending and the service's time-out ends the
// session: 2 s over WiFi, 1 s over USB). The phone simulator plays the
// phones: a fresh `phonesim connect` per WiFi session; one `phonesim usb`
// as the usbmuxd for the whole run, attached for each USB session.
//
// Each session must get its stream request (the console's "a phone
// connected over ..." line, which follows it) and end ("the phone left").
// Reported: the service's resident memory, open descriptors and threads
// after the first four sessions (the warm-up) and every 100 sessions after,
// and the growth from the warm-up to the end. The goals are under 1 MiB of
// growth and flat descriptor and thread counts; the figures are reported,
// never enforced.
//
// Usage: soak_service [SESSIONS] (default 1000; about 2.5 s each).
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/wait_until.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using talvik::test::HelperProcess;

namespace {

// Small pictures keep the encoder's share of the machine low.
const std::vector<std::string> kPhoneOptions = {"--formats", "640x480@30:h264"};
// Silence after 20 pictures; a phone that ends the session itself closes
// after as many.
const std::vector<std::string> kSilence = {"--fault", "silence", "--fault-after", "20"};

struct ProcessFigures {
    long residentKiB = 0;
    int descriptors = 0;
    int threads = 0;
};

int Entries(const std::string& directory)
{
    int n = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(directory, error); !error && it != decltype(it)(); ++it)
        ++n;
    return n;
}

ProcessFigures Figures(pid_t pid)
{
    ProcessFigures figures;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            figures.residentKiB = std::atol(line.c_str() + 6);
    figures.descriptors = Entries(proc + "/fd");
    figures.threads = Entries(proc + "/task");
    return figures;
}

std::size_t Occurrences(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool WaitUntilOutput(const talvik::test::ServiceRig& rig, const std::function<bool(const std::string&)>& done)
{
    return talvik::test::WaitUntil([&] { return done(rig.Output()); }, 20s);
}

constexpr const char* kConnected = "talvik: a phone connected over";
constexpr const char* kLeft = "talvik: the phone left";

int Fail(const talvik::test::ServiceRig& rig, const std::string& what, int session)
{
    std::string output = rig.Output();
    std::fprintf(stderr, "session %d: %s\nconsole (end):\n%s\n", session, what.c_str(),
                 output.substr(output.size() > 2000 ? output.size() - 2000 : 0).c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 1000;
    talvik::test::ServiceRig rig({"Camera=file"});
    const std::string usbmuxd = "UNIX:" + rig.File("usbmuxd.sock");
    std::vector<std::string> usbArguments = {"usb", "--usbmuxd", usbmuxd, "--usb-detached", "--sessions", "0",
                                             "--duration", "1000000"};
    usbArguments.insert(usbArguments.end(), kPhoneOptions.begin(), kPhoneOptions.end());
    usbArguments.insert(usbArguments.end(), kSilence.begin(), kSilence.end());
    auto usbPhone = talvik::test::StartPhonesim(usbArguments);
    if (!usbPhone->WaitForOutput("usbmuxd: listening on", 5s))
        return Fail(rig, "the simulator's usbmuxd did not come up", 0);
    // Loglevel 0: the soak measures the service, not its log file.
    talvik::test::WriteFile(rig.File("install/Vidrelo.ini"), "[logging]\nloglevel=0\n");
    rig.Start(usbmuxd, {}, true);
    if (!rig.WaitFor([&] { return rig.Output().find("talvik: camera: ") != std::string::npos; }))
        return Fail(rig, "the service did not start", 0);
    const pid_t service = rig.pid();
    HelperProcess consumer(talvik::test::SiblingProgram("camview"), {"--file", rig.camera(), "--stats"});

    ProcessFigures warm, fewest{1L << 30, 1 << 30, 1 << 30}, most;
    std::size_t requests = 0;
    const Clock::time_point start = Clock::now();
    for (int session = 0; session < sessions; ++session) {
        const bool usb = session % 2 == 1;
        const bool bySilence = session % 4 >= 2;
        std::unique_ptr<HelperProcess> wifiPhone;
        if (usb) {
            usbPhone->Write("attach\n");
        } else {
            std::vector<std::string> arguments = {"connect", "--port", std::to_string(rig.port()), "--duration",
                                                  "60"};
            if (bySilence)
                arguments.insert(arguments.end(), kSilence.begin(), kSilence.end());
            else
                arguments.insert(arguments.end(), {"--frames", "20"});
            arguments.insert(arguments.end(), kPhoneOptions.begin(), kPhoneOptions.end());
            wifiPhone = talvik::test::StartPhonesim(arguments);
        }
        if (!WaitUntilOutput(rig, [&](const std::string& out) { return Occurrences(out, kConnected) > requests; }))
            return Fail(rig, "no stream request", session);
        // A USB phone left attached is taken again at once: it leaves by
        // detaching, after its silence where that ends the session, and a
        // session begun again before the detach ends with it.
        if (usb && !bySilence)
            usbPhone->Write("detach\n");
        if (!WaitUntilOutput(rig, [&](const std::string& out) { return Occurrences(out, kLeft) > requests; }))
            return Fail(rig, "the session did not end", session);
        if (usb && bySilence)
            usbPhone->Write("detach\n");
        if (wifiPhone)
            wifiPhone->Wait(10s);
        if (!WaitUntilOutput(rig, [&](const std::string& out) {
                requests = Occurrences(out, kConnected);
                return Occurrences(out, kLeft) == requests;
            }))
            return Fail(rig, "a session did not end", session);

        const ProcessFigures now = Figures(service);
        if (session == 3)
            warm = now;
        if (session >= 3) {
            fewest = {std::min(fewest.residentKiB, now.residentKiB), std::min(fewest.descriptors, now.descriptors),
                      std::min(fewest.threads, now.threads)};
            most = {std::max(most.residentKiB, now.residentKiB), std::max(most.descriptors, now.descriptors),
                    std::max(most.threads, now.threads)};
        }
        if (session == 3 || (session + 1) % 100 == 0)
            std::printf("after %4d sessions (%5.0f s): resident %6ld KiB, %d descriptors, %d threads\n", session + 1,
                        std::chrono::duration<double>(Clock::now() - start).count(), now.residentKiB,
                        now.descriptors, now.threads);
        std::fflush(stdout);
    }
    if (sessions < 5)
        return 0;
    const ProcessFigures end = Figures(service);
    const std::string output = rig.Output();
    std::printf("\n%d sessions (WiFi and USB alternating, half ended by silence): %zu stream requests\n", sessions,
                Occurrences(output, kConnected));
    std::printf("resident memory growth after the warm-up: %ld KiB (goal below 1024 KiB)\n",
                end.residentKiB - warm.residentKiB);
    std::printf("descriptors: %d after the warm-up, %d to %d since; threads: %d, %d to %d\n", warm.descriptors,
                fewest.descriptors, most.descriptors, warm.threads, fewest.threads, most.threads);
    std::printf("the service %s\n", rig.Stop() == 0 ? "stopped with 0" : "did not stop cleanly");
    return 0;
}
