// Fuzzes MessageParser::ParseMessages with the stream cut into random
// pieces, against the same stream parsed in one piece: both must make the
// same calls and agree on where the stream turns invalid. The recording
// session aborts on any pointer that reaches outside its message.
//
// Input:
//   byte 0       bit 0: USB (else WiFi); bits 1-4: pieces of at most
//                2^n bytes
//   bytes 1-4    seed of the cuts
//   the rest     the stream
#include "session/message_parser.h"
#include "tests/session/recording_session.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <random>

using namespace talvik;
using talvik::test::RecordingSession;

namespace {

struct Outcome {
    std::vector<std::string> events;
    bool valid = true;
};

// One parser for the whole run, reset before each input as the connection
// manager resets it before each session: allocating the receive buffer anew
// for every input would cost more than parsing it.
struct Harness {
    RecordingSession session{ConnectionState::kIdle};
    MessageParser parser{session, session};

    template <typename NextPiece>
    Outcome Parse(ConnectionState initial, const uint8_t* data, std::size_t size, NextPiece nextPiece)
    {
        session.state = initial;
        session.events.clear();
        parser.Reset();
        Outcome outcome;
        for (std::size_t at = 0; at < size && outcome.valid;) {
            const std::size_t piece = std::min(nextPiece(), size - at);
            outcome.valid = parser.ParseMessages(data + at, piece);
            at += piece;
        }
        outcome.events = std::move(session.events);
        return outcome;
    }
};

Harness* whole;
Harness* cut;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Log lines are formatted (their arguments come from the stream) but
    // go nowhere.
    auto logger = std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_st>());
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    whole = new Harness;
    cut = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    const ConnectionState initial = (data[0] & 1) ? ConnectionState::kUsbConnecting : ConnectionState::kWifiConnecting;
    const uint32_t maxPiece = 1u << ((data[0] >> 1) & 15);
    std::minstd_rand cuts(data[1] | data[2] << 8 | data[3] << 16 | static_cast<uint32_t>(data[4]) << 24);
    const uint8_t* stream = data + 5;
    const std::size_t length = size - 5;

    const Outcome inOne = whole->Parse(initial, stream, length, [length] { return length; });
    const Outcome inPieces = cut->Parse(initial, stream, length, [&] { return 1 + cuts() % maxPiece; });
    if (inPieces.events != inOne.events || inPieces.valid != inOne.valid) {
        std::fprintf(stderr, "pieces of at most %u bytes: %zu calls (valid %d), in one piece %zu calls (valid %d)\n",
                     maxPiece, inPieces.events.size(), inPieces.valid, inOne.events.size(), inOne.valid);
        std::abort();
    }
    return 0;
}
