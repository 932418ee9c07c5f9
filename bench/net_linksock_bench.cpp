// Costs of the socket client's waits: processor time of an idle ReadLn, and SendStream throughput beside plain blocking sends.
#include "net/linksock.h"
#include "platform/exceptions.h"
#include "platform/streams.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A loopback listener whose single connection is served by `serve` on a thread.
class Peer {
public:
    template <typename F>
    explicit Peer(F serve) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        socklen_t len = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, serve] {
            const int fd = ::accept(listen_, nullptr, nullptr);
            serve(fd);
            ::close(fd);
        });
    }
    ~Peer() {
        thread_.join();
        ::close(listen_);
    }
    uint16_t Port() const { return port_; }

private:
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

double ThreadCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A ReadLn against a server that stays silent until the 3 s time-out ends the wait.
void BM_ReadLnIdleWait(benchmark::State& state) {
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        Peer peer([&](int) {
            while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        });
        kelvo::TLinksock sock;
        sock.SetHost("127.0.0.1");
        sock.SetPort(peer.Port());
        sock.Connect();
        sock.SetTimeOut(3000);
        std::string line;
        const double c0 = ThreadCpuSeconds();
        const auto t0 = Clock::now();
        try {
            sock.ReadLn(line);
        } catch (const kelvo::EAbortError&) {}
        wall += std::chrono::duration<double>(Clock::now() - t0).count();
        cpu += ThreadCpuSeconds() - c0;
        done = true;
    }
    state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
    state.counters["wall_s"] = wall / static_cast<double>(state.iterations());
    state.counters["cpu_pct_of_core"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_ReadLnIdleWait)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr int64_t kTotal = int64_t{256} << 20;

// The bytes of a large stream without holding them all: every chunk is copied from one pattern.
class PatternStream : public kelvo::TStream {
public:
    explicit PatternStream(int64_t size) : size_(size) { std::memset(pattern_, 'p', sizeof pattern_); }
    int32_t Read(void* buffer, int32_t count) override {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size_ - pos_));
        for (int32_t off = 0; off < n; off += static_cast<int32_t>(sizeof pattern_))
            std::memcpy(static_cast<char*>(buffer) + off, pattern_, std::min<size_t>(sizeof pattern_, n - off));
        pos_ += n;
        return n;
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t offset, uint16_t origin) override {
        pos_ = origin == 0 ? offset : origin == 1 ? pos_ + offset : size_ + offset;
        return pos_;
    }

private:
    int64_t size_;
    int64_t pos_ = 0;
    char pattern_[65536];
};

void Drain(int fd, std::atomic<int64_t>& got) {
    static char buf[1 << 18];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        got += n;
    }
}

void WaitFor(const std::atomic<int64_t>& got) {
    while (got < kTotal) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void BM_SendStream256MB(benchmark::State& state) {
    for (auto _ : state) {
        std::atomic<int64_t> got{0};
        Peer peer([&](int fd) { Drain(fd, got); });
        kelvo::TLinksock sock;
        sock.SetHost("127.0.0.1");
        sock.SetPort(peer.Port());
        sock.Connect();
        sock.SetTimeOut(10000);
        PatternStream stream(kTotal);
        const auto t0 = Clock::now();
        sock.SendStream(stream);
        WaitFor(got);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        sock.Disconnect();
    }
    state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_SendStream256MB)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The floor: a blocking socket sending the same bytes in the same 64 KiB chunks.
void BM_BlockingSend256MB(benchmark::State& state) {
    for (auto _ : state) {
        std::atomic<int64_t> got{0};
        Peer peer([&](int fd) { Drain(fd, got); });
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(peer.Port());
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        PatternStream stream(kTotal);
        static char chunk[65536];
        const auto t0 = Clock::now();
        for (int64_t left = kTotal; left > 0;) {
            const int32_t n = stream.Read(chunk, static_cast<int32_t>(std::min<int64_t>(left, sizeof chunk)));
            for (int32_t off = 0; off < n;) {
                const ssize_t s = ::send(fd, chunk + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
                if (s <= 0) return;
                off += static_cast<int32_t>(s);
            }
            left -= n;
        }
        WaitFor(got);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_BlockingSend256MB)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // the waits run the event loop of this thread
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
