// Parser throughput on a realistic stream against memcpy of the same bytes,
// and heap allocations per message.
//
// The stream: H.264-sized video messages of 20-200 KB, each followed by two
// or three 2,060-byte audio messages, delivered in TCP-sized pieces of up to
// 64,000 bytes. memcpy copies the same pieces into a buffer the size of the
// parser's receive buffer. The parser copies every byte once too, so the
// goal is at least 0.8 x memcpy; steady streaming must not allocate.
#include "session/message_parser.h"
#include "tests/bench/allocation_counter.h"
#include "tests/session/stream_builder.h"
#include "tests/support/null_connection_observer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>

using namespace talvik;
using namespace talvik::test;

namespace {

struct Piece {
    std::size_t offset;
    std::size_t size;
};

struct Stream {
    Bytes bytes;
    std::vector<Piece> pieces;
    uint64_t messages = 0;
};

const Stream& TestStream()
{
    static const Stream stream = [] {
        std::mt19937 random(20260101);
        Stream s;
        for (int frame = 0; frame < 60; ++frame) {
            const Bytes video = VideoMessage(0, Bytes(20000 + random() % 180000, 0x42));
            s.bytes.insert(s.bytes.end(), video.begin(), video.end());
            for (int a = 2 + random() % 2; a > 0; --a) {
                const Bytes audio = AudioMessage(Bytes(2060 - 28, 0x17));
                s.bytes.insert(s.bytes.end(), audio.begin(), audio.end());
                ++s.messages;
            }
            ++s.messages;
        }
        for (std::size_t at = 0; at < s.bytes.size();) {
            const std::size_t size = std::min<std::size_t>(1460 + random() % (64000 - 1460 + 1), s.bytes.size() - at);
            s.pieces.push_back({at, size});
            at += size;
        }
        return s;
    }();
    return stream;
}

// The connection manager and the engine, doing nothing.
class NullSession : public test::NullConnectionObserver, public MessageParser::Connection {
public:
    ConnectionState State() const override { return ConnectionState::kWifiConnected; }
    void SetState(ConnectionState) override {}
    void MarkReceived() override {}

    void OnVideoData(const uint8_t* data, uint32_t, uint32_t) override { benchmark::DoNotOptimize(data); }
    void OnAudioData(const uint8_t* samples, uint32_t) override { benchmark::DoNotOptimize(samples); }
};

void BM_ParseMessages(benchmark::State& state)
{
    const Stream& stream = TestStream();
    NullSession session;
    MessageParser parser(session, session);
    uint64_t parserAllocations = 0;
    for (auto _ : state) {
        const uint64_t before = bench::AllocationCount();
        for (const Piece& piece : stream.pieces) {
            if (!parser.ParseMessages(stream.bytes.data() + piece.offset, piece.size))
                state.SkipWithError("the parser refused the stream");
        }
        parserAllocations += bench::AllocationCount() - before;
    }
    const double messages = static_cast<double>(stream.messages * state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(stream.bytes.size() * state.iterations()));
    state.counters["allocs_per_msg"] = static_cast<double>(parserAllocations) / messages;
}
BENCHMARK(BM_ParseMessages);

void BM_Memcpy(benchmark::State& state)
{
    const Stream& stream = TestStream();
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[MessageParser::kInitialCapacity]);
    for (auto _ : state) {
        for (const Piece& piece : stream.pieces) {
            std::memcpy(buffer.get(), stream.bytes.data() + piece.offset, piece.size);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(stream.bytes.size() * state.iterations()));
}
BENCHMARK(BM_Memcpy);

// Prints as usual and keeps each benchmark's throughput for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration && rate != run.counters.end())
                throughput[run.run_name.function_name] = rate->second.value;
        }
    }

    std::map<std::string, double> throughput;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto parser = reporter.throughput.find("BM_ParseMessages");
    const auto memcpy = reporter.throughput.find("BM_Memcpy");
    if (parser != reporter.throughput.end() && memcpy != reporter.throughput.end())
        std::printf("parser / memcpy throughput: %.1f / %.1f MB/s = %.2f (goal >= 0.80)\n", parser->second / 1e6,
                    memcpy->second / 1e6, parser->second / memcpy->second);
    benchmark::Shutdown();
    return 0;
}
