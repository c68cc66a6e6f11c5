// How long the receive side spends on one chunk, against the time the chunk
// takes to arrive: at 9600 bits per second (10 bits a byte) one byte takes
// about 1042 microseconds on the line.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/frame_builders.h"
#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"
#include "protocol/link_crc.h"
#include "protocol/link_sender.h"

namespace {

// A chunk holding one valid write frame of `payload` bytes, as large as it gets.
void LoadFrameChunk(std::size_t payload) {
    qx17::BindSendData([](const std::uint8_t* buffer, std::uint16_t length) {
        std::copy(buffer, buffer + length, qx17::RxBuffer.begin());
        qx17::RxLength = length;
        return true;
    });
    qx17::SendWriteFrame(std::string(payload - 1, '\x5A'));
    qx17::BindSendData(nullptr);
}

void BM_LinkCrc(benchmark::State& state) {
    const std::string bytes(static_cast<std::size_t>(state.range(0)), '\xA5');
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (auto _ : state) {
        benchmark::DoNotOptimize(qx17::LinkCrc(data, bytes.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LinkCrc)->Arg(145)->Arg(2048);

// The largest frame that fits a chunk: the worst case for one received chunk.
void BM_FindFrame(benchmark::State& state) {
    LoadFrameChunk(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(qx17::FindFrame(0));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (state.range(0) + 6));
}
BENCHMARK(BM_FindFrame)->Arg(2)->Arg(137)->Arg(2042);

// A full chunk of noise without any 0xAB pair: the finder scans every byte.
void BM_FindFrameNoise(benchmark::State& state) {
    std::fill(qx17::RxBuffer.begin(), qx17::RxBuffer.begin() + 2048, std::uint8_t{0x55});
    qx17::RxLength = 2048;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qx17::FindFrame(0));
    }
}
BENCHMARK(BM_FindFrameNoise);

void BM_SendWriteFrame(benchmark::State& state) {
    qx17::BindSendData([](const std::uint8_t*, std::uint16_t) { return true; });
    const std::string data(138, '\x11');  // address and 136 image bytes
    for (auto _ : state) {
        qx17::SendWriteFrame(data);
        benchmark::ClobberMemory();
    }
    qx17::BindSendData(nullptr);
}
BENCHMARK(BM_SendWriteFrame);

}  // namespace

// --help and --version are the program's own; every other option is Google
// Benchmark's (--benchmark_filter=REGEX ...), whose usage --help prints after
// ours.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("protocol_bench %s\n", QX17_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "protocol_bench: CRC, frame finder and frame builder against the line's time.\n"
                "Usage: protocol_bench [--help] [--version] [Google Benchmark's options]\n\n");
            std::fflush(stdout);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
