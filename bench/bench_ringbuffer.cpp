// History buffer: appending 4 KiB blocks and joining a full 10 MiB history, against memcpy of
// the same 10 MiB measured in the same run.

#include "outputringbuffer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

constexpr size_t Block = 4096;
constexpr size_t Full = OutputRingBuffer::DefaultMaxBytes;

OutputRingBuffer fullBuffer()
{
    OutputRingBuffer buffer;
    for (size_t i = 0; i < Full / Block; ++i)
        buffer.append(QByteArray(Block, char('a' + i % 26)));
    return buffer;
}

// Baseline 1: copy 10 MiB into a destination that is already mapped.
void memcpyWarm(benchmark::State &state)
{
    std::string src(Full, 'x');
    std::string dst(Full, 'y');
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), Full);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Full));
}
BENCHMARK(memcpyWarm)->Name("memcpy_10MiB");

// Baseline 2: what any join has to do: allocate 10 MiB and copy into it.
void mallocMemcpy(benchmark::State &state)
{
    std::string src(Full, 'x');
    for (auto _ : state) {
        char *dst = static_cast<char *>(std::malloc(Full));
        std::memcpy(dst, src.data(), Full);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        std::free(dst);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Full));
}
BENCHMARK(mallocMemcpy)->Name("malloc_memcpy_10MiB");

void snapshotFull(benchmark::State &state)
{
    const OutputRingBuffer buffer = fullBuffer();
    for (auto _ : state) {
        QByteArray joined = buffer.snapshot();
        benchmark::DoNotOptimize(joined.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Full));
}
BENCHMARK(snapshotFull)->Name("snapshot_10MiB");

// Appending into a buffer that already holds `range(0)` blocks; a full buffer trims one block
// per append. Constant time per append whatever the fill shows that nothing earlier is copied.
void appendBlock(benchmark::State &state)
{
    OutputRingBuffer buffer;
    for (int64_t i = 0; i < state.range(0); ++i)
        buffer.append(QByteArray(Block, 'p'));
    const QByteArray block(Block, 'n');
    for (auto _ : state)
        buffer.append(block);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Block));
}
BENCHMARK(appendBlock)->Name("append_4KiB/prefilled_blocks")->Arg(0)->Arg(1280)->Arg(2560);

class RatioReporter : public benchmark::ConsoleReporter
{
public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
                ns[r.run_name.str()] = r.GetAdjustedRealTime();
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](const char *a, const char *b) {
        if (reporter.ns.count(a) && reporter.ns.count(b))
            std::printf("%-40s %.2fx\n", (std::string(a) + " / " + b).c_str(),
                        reporter.ns[a] / reporter.ns[b]);
    };
    std::printf("\nRatios (same run):\n");
    ratio("snapshot_10MiB", "memcpy_10MiB");
    ratio("snapshot_10MiB", "malloc_memcpy_10MiB");
    ratio("append_4KiB/prefilled_blocks/2560", "append_4KiB/prefilled_blocks/0");
    benchmark::Shutdown();
    return 0;
}
