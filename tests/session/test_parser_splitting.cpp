// However the stream is cut into pieces, the parser makes the same calls in
// the same order. Streams and cuts come from a seeded generator; a failure
// names its seed, and TALVIK_SPLIT_SEED=<seed> replays it.
#include "session/message_parser.h"
#include "tests/session/recording_session.h"
#include "tests/session/stream_builder.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using namespace talvik;
using namespace talvik::test;

namespace {

using Random = std::mt19937_64;

uint32_t Below(Random& random, uint32_t bound)
{
    return static_cast<uint32_t>(random() % bound);
}

Bytes RandomBytes(Random& random, uint32_t size)
{
    Bytes bytes(size);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

// A well-framed stream of every kind of message the phone sends, including
// ones the parser drops, liveness keep-alives and repeated announcements.
Bytes RandomStream(Random& random)
{
    std::vector<Bytes> messages;
    const uint32_t count = 1 + Below(random, 40);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t size = Below(random, random() % 8 == 0 ? 70000 : 300);
        switch (Below(random, 8)) {
        case 0: messages.push_back(VideoMessage(static_cast<uint32_t>(random()), RandomBytes(random, size))); break;
        case 1: messages.push_back(AudioMessage(RandomBytes(random, size))); break;
        case 2: messages.push_back(AudioMessage(RandomBytes(random, size), size + Below(random, 3) - 1)); break;
        case 3: messages.push_back(HelperTextMessage(std::string(size % 64, 'a' + static_cast<char>(size % 26)))); break;
        case 4:
            messages.push_back(DepthMessage(static_cast<uint32_t>(random()), static_cast<uint16_t>(random()),
                                            static_cast<uint16_t>(random()), RandomBytes(random, size),
                                            RandomBytes(random, Below(random, 100))));
            break;
        case 5: messages.push_back(Message(MESSAGE_KEEPALIVE, RandomBytes(random, Below(random, 3) == 0 ? 0 : 335))); break;
        case 6: {
            AnnouncementFields content;
            const uint32_t classes[] = {1, 250, 799, 1000, 300};
            content.clientType = classes[Below(random, 5)];
            for (uint32_t f = Below(random, 36); f > 0; --f)
                content.formats.push_back({Below(random, 4096), Below(random, 4096), Below(random, 6), 5.0f + Below(random, 600) / 10.0f});
            messages.push_back(AnnouncementMessage(content));
            break;
        }
        default: messages.push_back(Message(MESSAGE_VIDEODATA, RandomBytes(random, Below(random, 12)))); break;
        }
    }
    return Join(messages);
}

struct Outcome {
    std::vector<std::string> events;
    std::vector<std::string> log;
    int receivesBeyondPieces;
};

// Feeds `stream` in pieces of 1 to `maxPiece` bytes (random when `random` is
// given, the whole stream at once otherwise).
Outcome Parse(const Bytes& stream, Random* random, uint32_t maxPiece)
{
    LogRecorder log;
    RecordingSession session(ConnectionState::kUsbConnecting);
    MessageParser parser(session, session);
    int pieces = 0;
    for (std::size_t at = 0; at < stream.size(); ++pieces) {
        const std::size_t piece = random ? std::min<std::size_t>(1 + Below(*random, maxPiece), stream.size() - at)
                                         : stream.size();
        EXPECT_TRUE(parser.ParseMessages(stream.data() + at, piece));
        at += piece;
    }
    return {session.events, log.Lines(), session.receives - pieces};
}

uint64_t BaseSeed()
{
    if (const char* seed = std::getenv("TALVIK_SPLIT_SEED"))
        return std::strtoull(seed, nullptr, 10);
    return std::random_device()();
}

} // namespace

TEST(parser_splitting, any_cut_of_a_stream_makes_the_same_calls)
{
    const uint64_t base = BaseSeed();
    for (uint64_t seed = base; seed < base + 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Random random(seed);
        const Bytes stream = RandomStream(random);
        const Outcome whole = Parse(stream, nullptr, 0);

        const uint32_t maxPieces[] = {1, 2 + Below(random, 30), 100 + Below(random, 64000)};
        for (uint32_t maxPiece : maxPieces) {
            SCOPED_TRACE("pieces of at most " + std::to_string(maxPiece) + " bytes");
            const Outcome cut = Parse(stream, &random, maxPiece);
            ASSERT_EQ(cut.events, whole.events);
            ASSERT_EQ(cut.log, whole.log);
            ASSERT_EQ(cut.receivesBeyondPieces, whole.receivesBeyondPieces) << "one more receive per header";
        }
        if (HasFatalFailure())
            return;
    }
}
