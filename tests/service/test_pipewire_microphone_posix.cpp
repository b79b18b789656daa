// The PipeWire microphone with real processes: a private PipeWire (bus,
// daemon, wireplumber, pipewire-pulse), TalvikSvc with nothing set about
// audio, pw-record and parec as ordinary recording programs and the phone
// simulator's tone as the phone.
#include "tests/service/service_rig_posix.h"
#include "tests/service/tone_check.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/pipewire_posix.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;
using talvik::test::HelperProcess;
using talvik::test::ReadFile;

namespace {

// The samples of a WAV file that pw-record writes, after its "data" chunk's
// header.
std::string WavSamples(const std::string& path)
{
    const std::string wav = ReadFile(path);
    const std::size_t data = wav.find("data");
    return data == std::string::npos ? std::string() : wav.substr(data + 8);
}

} // namespace

TEST(pipewire_microphone, programs_record_silence_before_a_phone_and_then_its_tone)
{
    talvik::test::PipeWire pipewire;
    if (const std::string skipReason = pipewire.Start(); !skipReason.empty())
        TALVIK_SKIP_MISSING() << skipReason;
    talvik::test::ServiceRig rig;
    rig.Start(rig.unusedUsbmuxd(), {"PIPEWIRE_RUNTIME_DIR=" + pipewire.dir.path()}, true);
    ASSERT_TRUE(rig.WaitFor([&] {
        return rig.Count("PipeWire microphone: published as \"Vidrelo Microphone\" (talvik-microphone)") == 1;
    })) << rig.Log();
    EXPECT_NE(rig.Output().find("talvik: microphone: the PipeWire audio source \"Vidrelo Microphone\" (node "
                                "talvik-microphone), in every program's microphone list; try: pw-record --target "
                                "talvik-microphone out.wav"),
              std::string::npos)
        << rig.Output();
    // PulseAudio programs list it among their microphones.
    std::string sources;
    ASSERT_EQ(pipewire.Run("pactl", {"list", "short", "sources"}, 10, &sources), 0) << sources;
    EXPECT_NE(sources.find("talvik-microphone\t"), std::string::npos) << sources;

    // Before any phone a PipeWire program records silence, and keeps
    // getting it: half a second of zeros.
    const std::string silence = pipewire.dir.File("silence.wav");
    {
        HelperProcess record(talvik::test::FindProgram("pw-record"),
                             {"--target", "talvik-microphone", "--rate", "44100", "--channels", "2", "--format", "s16",
                              silence},
                             pipewire.ClientEnvironment());
        ASSERT_TRUE(talvik::test::WaitUntil([&] { return WavSamples(silence).size() >= 4 * 22050; }, 10s))
            << record.Output();
        record.Stop();
    }
    const std::string zeros = WavSamples(silence);
    EXPECT_GE(zeros.size(), 4u * 22050);
    EXPECT_TRUE(std::ranges::all_of(zeros, [](char c) { return c == 0; }));

    // A PulseAudio program records the phone's tone through pipewire-pulse.
    const std::string tone = pipewire.dir.File("tone.raw");
    HelperProcess parec(talvik::test::FindProgram("parec"),
                        {"--device=talvik-microphone", "--format=s16le", "--rate=44100", "--channels=2", tone},
                        pipewire.ClientEnvironment());
    std::unique_ptr<HelperProcess> phone =
        talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "20"});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    const std::size_t before = ReadFile(tone).size() / 4 * 4;
    // A second and a half of the tone: 4-byte stereo frames.
    ASSERT_TRUE(rig.WaitFor([&] { return ReadFile(tone).size() >= before + 6 * 44100; })) << parec.Output();
    parec.Stop();
    talvik::test::ExpectTone(ReadFile(tone).substr(before), 440);
    phone->Stop();
    EXPECT_EQ(rig.Stop(), 0);
    EXPECT_TRUE(rig.Log().ends_with("] VidreloEngine deleted\n")) << rig.Log();
}
