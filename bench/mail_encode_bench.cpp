// Attachment encoding speed: TKivUUProcessor over buffered streams, beside coreutils'
// `base64 -w 60` on the same 64 MB file in the same run.
#include "mail/uu_processor.h"
#include "net/buffer_stream.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr size_t kSize = 64u << 20;

const std::string& InputFile() {
    static const std::string path = [] {
        const std::string p =
            (std::filesystem::temp_directory_path() / ("kelvo_encode_bench_" + std::to_string(::getpid()))).string();
        std::mt19937_64 gen(42);
        std::string data(kSize, '\0');
        for (size_t i = 0; i < kSize; i += 8) {
            const uint64_t v = gen();
            std::memcpy(&data[i], &v, 8);
        }
        std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        std::atexit([] { std::filesystem::remove(InputFile()); });
        return p;
    }();
    return path;
}

// As the composition does it: the file through one buffer, the text through another
// into memory sized beforehand.
void Encode(benchmark::State& state, kelvo::UUMethods method) {
    const std::string& path = InputFile();
    for (auto _ : state) {
        kelvo::TFileStream file(path, kelvo::TFileStream::fmOpenRead);
        kelvo::TMemoryStream target;
        target.SetSize(static_cast<int64_t>(kSize / 45 + 1) * 63 + 3);
        target.SetPosition(0);
        {
            kelvo::TS_BufferStream in(file), out(target);
            kelvo::TKivUUProcessor p;
            p.SetMethod(method);
            p.InputStream = &in;
            p.OutputStream = &out;
            p.Encode();
        }
        benchmark::DoNotOptimize(target.Memory());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
}

void BM_EncodeBase64(benchmark::State& state) { Encode(state, kelvo::uuMime); }
void BM_EncodeUuencode(benchmark::State& state) { Encode(state, kelvo::uuCode); }

// Like for like with the coreutils run: the text goes to /dev/null through the buffer.
void EncodeToNull(benchmark::State& state, kelvo::UUMethods method) {
    const std::string& path = InputFile();
    for (auto _ : state) {
        kelvo::TFileStream file(path, kelvo::TFileStream::fmOpenRead);
        kelvo::TFileStream sink("/dev/null", kelvo::TFileStream::fmOpenWrite);
        kelvo::TS_BufferStream in(file), out(sink);
        kelvo::TKivUUProcessor p;
        p.SetMethod(method);
        p.InputStream = &in;
        p.OutputStream = &out;
        p.Encode();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
}

void BM_EncodeBase64ToNull(benchmark::State& state) { EncodeToNull(state, kelvo::uuMime); }
void BM_EncodeUuencodeToNull(benchmark::State& state) { EncodeToNull(state, kelvo::uuCode); }

// Runs `base64 -w 60 <file>` with its output on `sink`; returns false on failure.
bool RunCoreutils(const std::string& input, const char* sink, double& childCpuMs) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, sink, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char* argv[] = {const_cast<char*>("base64"), const_cast<char*>("-w"), const_cast<char*>("60"),
                    const_cast<char*>(input.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/usr/bin/base64", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    childCpuMs += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The CPU column of these is this process's; the child's own time (child_cpu_ms) is
// the fair figure on a loaded machine.
void Coreutils(benchmark::State& state, const char* sink) {
    const std::string& path = InputFile();
    double childCpu = 0;
    for (auto _ : state)
        if (!RunCoreutils(path, sink, childCpu)) state.SkipWithError("base64 failed");
    state.counters["child_cpu_ms"] = childCpu / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
}

// Output discarded: the like-for-like partner of the ToNull runs.
void BM_CoreutilsBase64W60(benchmark::State& state) { Coreutils(state, "/dev/null"); }

// Output kept in memory (a tmpfs file): the partner of the in-memory runs, which pay
// for fresh pages the same way.
void BM_CoreutilsBase64W60ToShm(benchmark::State& state) {
    const std::string sink = "/dev/shm/kelvo_encode_bench_" + std::to_string(::getpid());
    Coreutils(state, sink.c_str());
    std::filesystem::remove(sink);
}

} // namespace

BENCHMARK(BM_CoreutilsBase64W60)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CoreutilsBase64W60ToShm)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EncodeBase64)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EncodeUuencode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EncodeBase64ToNull)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EncodeUuencodeToNull)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
