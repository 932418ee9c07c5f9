// TKivSMTP sending a 20 MB attachment, plain to Postfix's smtp-sink or over STARTTLS, and the processor's idleness while the server is slow.
//
// KELVO_SMTP_SINK_PORT: use the smtp-sink already listening there (bench/smtp_compare.py
// runs one for every client); otherwise the program starts its own.
// KELVO_SMTP_TLS_PORT, KELVO_SMTP_TLS_CA: the STARTTLS server on 127.0.0.1 and the PEM
// file of the CA that signed its certificate, for the StartTls send (bench/smtp_compare.py
// --tls supplies both; without them that send is skipped).
// KELVO_SMTP_ATTACHMENT: the file to attach; otherwise 20 MB of random bytes.
// KELVO_SMTP_MESSAGE_OUT: where to write the message as composed (what DATA carries,
// before dot-stuffing), so that another client can send the very same bytes.
#include "mail/smtp.h"
#include "net/tls_channel.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace {

using namespace kelvo;

constexpr size_t kAttachmentBytes = 20u * 1024u * 1024u;

uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Listening(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// smtp-sink discards what it receives, so the server is never the bottleneck.
class Sink {
public:
    explicit Sink(const QStringList& extra = {}) {
        port_ = FreePort();
        QStringList args = extra;
        if (::geteuid() == 0)
            args << "-u"
                 << "nobody";
        args << QString("127.0.0.1:%1").arg(port_) << "64";
        process_.start("/usr/sbin/smtp-sink", args);
        if (!process_.waitForStarted(5000)) throw std::runtime_error("smtp-sink did not start");
        for (int i = 0; i < 200 && !Listening(port_); ++i) QThread::msleep(10);
    }
    ~Sink() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    uint16_t Port() const { return port_; }

private:
    QProcess process_;
    uint16_t port_ = 0;
};

std::string AttachmentPath(QTemporaryDir& dir) {
    if (const char* given = std::getenv("KELVO_SMTP_ATTACHMENT")) return given;
    const std::string path = dir.path().toStdString() + "/attachment.bin";
    std::mt19937 gen(1);
    std::string data(kAttachmentBytes, '\0');
    for (char& c : data) c = static_cast<char>(gen() & 0xFF);
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    return path;
}

void Prepare(TKivSMTP& smtp, uint16_t port) {
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(port);
    smtp.SetUserID("kelvo.bench");
    smtp.SetTimeOut(60000);
    smtp.SetClearParams(false);
    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("bench@example.org");
    m.ToAddress().Add("sink@example.org");
    m.SetSubject("Benchmark");
    m.Body().Add("The attachment follows.");
}

// The smtp-sink given by KELVO_SMTP_SINK_PORT, or one started into `own`.
uint16_t SinkPort(std::unique_ptr<Sink>& own) {
    if (const char* given = std::getenv("KELVO_SMTP_SINK_PORT")) return static_cast<uint16_t>(std::atoi(given));
    own = std::make_unique<Sink>();
    return own->Port();
}

// The server for a send with `security`: the sink when there is none, else the TLS
// server the environment names (0 when it names none).
uint16_t ServerPort(TSmtpSecurity security, std::unique_ptr<Sink>& own) {
    if (security == ssNone) return SinkPort(own);
    const char* port = std::getenv("KELVO_SMTP_TLS_PORT");
    const char* ca = std::getenv("KELVO_SMTP_TLS_CA");
    if (port == nullptr || ca == nullptr) return 0;
    SetTlsTrustFileForTesting(ca);
    return static_cast<uint16_t>(std::atoi(port));
}

void WriteComposedMessage(TKivSMTP& smtp, const char* path) {
    std::ofstream f(path, std::ios::binary);
    for (const std::string& line : smtp.FinalHeader().Items()) f << line << "\r\n";
    f << "\r\n\r\n";
    const std::string body = smtp.BodyStream().DataString();
    f.write(body.data(), static_cast<std::streamsize>(body.size()));
}

// One iteration is what a user's send costs: connect (and secure), compose, send, quit.
void BM_ComposeAndSend20MBAttachment(benchmark::State& state, TSmtpSecurity security) {
    QTemporaryDir dir;
    const std::string file = AttachmentPath(dir);
    std::unique_ptr<Sink> own;
    const uint16_t port = ServerPort(security, own);
    if (port == 0) {
        state.SkipWithError("run through bench/smtp_compare.py --tls");
        return;
    }
    TKivSMTP smtp;
    Prepare(smtp, port);
    smtp.SetSecurity(security);
    if (security != ssNone) smtp.SetTimeOut(120000);
    smtp.PostMessage().Attachments().Add(file);
    int64_t bytes = 0;
    using Clock = std::chrono::steady_clock;
    Clock::time_point started;
    Clock::time_point composed;
    double composing = 0;
    double sending = 0;
    smtp.OnSendStart = [&](QObject*) { composed = Clock::now(); };
    for (auto _ : state) {
        smtp.Connect();
        started = Clock::now();
        smtp.SendMail();
        composing += std::chrono::duration<double>(composed - started).count();
        sending += std::chrono::duration<double>(Clock::now() - composed).count();
        smtp.Disconnect();
        bytes += smtp.BodyStream().Size();
    }
    state.SetBytesProcessed(bytes);
    // Where a send's time goes: composing (reading and encoding the file) and the dialogue.
    state.counters["compose_ms"] = 1000.0 * composing / static_cast<double>(state.iterations());
    state.counters["send_ms"] = 1000.0 * sending / static_cast<double>(state.iterations());
    if (const char* out = std::getenv("KELVO_SMTP_MESSAGE_OUT")) WriteComposedMessage(smtp, out);
}
BENCHMARK_CAPTURE(BM_ComposeAndSend20MBAttachment, Plain, ssNone)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(7);
BENCHMARK_CAPTURE(BM_ComposeAndSend20MBAttachment, StartTls, ssStartTls)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// 100 small messages, one after the other on one connection: what each message costs
// in round trips and in waits of the transport (Nagle's algorithm against the
// server's delayed acknowledgement when a message goes out in several writes).
void BM_HundredSmallMessagesOneConnection(benchmark::State& state) {
    std::unique_ptr<Sink> own;
    TKivSMTP smtp;
    Prepare(smtp, SinkPort(own));
    smtp.PostMessage().Body().Clear();
    smtp.PostMessage().Body().Add("A short feedback message.");
    smtp.PostMessage().Body().Add("Second line.");
    // The same Date and Message-ID for every message: the benchmark measures the
    // dialogue, not the clock.
    smtp.PostMessage().SetDate("Mon, 07 Dec 2026 12:00:00 +0000");
    smtp.PostMessage().SetMessageID("<bench@kelvo.example>");
    for (auto _ : state) {
        smtp.Connect();
        for (int i = 0; i < 100; ++i) smtp.SendMail();
        smtp.Disconnect();
    }
    state.counters["ms_per_message"] = benchmark::Counter(static_cast<double>(state.iterations()) * 100.0,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HundredSmallMessagesOneConnection)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The server takes 3 s to answer the end of data; the waiting read must sleep.
void BM_WaitForSlowFinalReply(benchmark::State& state) {
    Sink sink({"-W", ".:3"});
    TKivSMTP smtp;
    Prepare(smtp, sink.Port());
    smtp.Connect();
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = ThreadCpuSeconds();
        smtp.SendMail();
        cpu += ThreadCpuSeconds() - c0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    smtp.Disconnect();
    state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
    state.counters["cpu_ms"] = 1000.0 * cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WaitForSlowFinalReply)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // the socket waits run this thread's event loop
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
