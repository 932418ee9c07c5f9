// Composing a message with a 20 MB attachment: time, and peak memory against the
// attachment's size (the resident-set peak is reset before each composition).
#include "mail/composer.h"

#include "bench/support/first_frame.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

namespace {

constexpr int64_t kAttachment = 20 << 20;

// Resets VmHWM to the current resident set (Linux 4.0 and later).
bool ResetPeak() {
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
    f.flush();
    return static_cast<bool>(f);
}

void BM_ComposeWith20MBAttachment(benchmark::State& state) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("kelvo_compose_bench_" + std::to_string(::getpid()))).string();
    {
        std::mt19937 gen(7);
        std::string data(static_cast<size_t>(kAttachment), '\0');
        for (auto& c : data) c = static_cast<char>(gen());
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    double worst = 0;
    int64_t bodyBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const bool reset = ResetPeak();
        const int64_t before = kelvo::bench::StatusKb("VmRSS");
        state.ResumeTiming();
        {
            kelvo::TMailComposer c;
            c.PostMessage().SetFromAddress("a@example.org");
            c.PostMessage().ToAddress().Add("b@example.org");
            c.PostMessage().Body().Add("Attached.");
            c.PostMessage().Attachments().Add(path);
            c.BuildMessage();
            bodyBytes = c.BodyStream().Size();
            state.PauseTiming();
            const int64_t peak = kelvo::bench::StatusKb("VmHWM");
            if (!reset || before < 0 || peak < 0) state.SkipWithError("cannot read the resident-set peak");
            worst = std::max(worst, static_cast<double>(peak - before) * 1024.0 / static_cast<double>(kAttachment));
            state.ResumeTiming();
        }
    }
    std::filesystem::remove(path);
    state.counters["peak_over_attachment"] = worst;
    state.counters["body_bytes"] = static_cast<double>(bodyBytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kAttachment);
}

} // namespace

BENCHMARK(BM_ComposeWith20MBAttachment)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

BENCHMARK_MAIN();
