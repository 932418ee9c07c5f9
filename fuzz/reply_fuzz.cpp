// Fuzzes the socket client's reply reading: a peer on 127.0.0.1 writes the input's
// bytes in random segments, one per turn of the event loop, then shuts its side.
// ReadLn and Transaction, in a random mix, must return exactly the lines of the
// bytes (each up to and including its LF), then an empty line for the end; a line
// longer than the 65536-byte working buffer must be refused with "Line too long";
// ReplyNumber must follow the reference rule, and nothing may wait for the
// time-out. Memory stays bounded: the scripts run this target with a small
// -malloc_limit_mb.
#include "net/linksock.h"
#include "platform/exceptions.h"
#include "support/fuzz_support.h"

#include <QCoreApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using kelvo::fuzz::Rng;
using kelvo::fuzz::Show;

constexpr size_t kLineRoom = 65536;

int g_listener = -1;
uint16_t g_port = 0;

// What each read should give: a line, the end (empty line), or the refusal of a line too long.
struct Expected {
    enum Kind { Line, End, TooLong } kind;
    std::string line;
};

std::vector<Expected> Reference(const std::string& bytes) {
    std::vector<Expected> out;
    size_t start = 0;
    while (true) {
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) {
            out.push_back({bytes.size() - start >= kLineRoom ? Expected::TooLong : Expected::End, {}});
            return out;
        }
        if (lf - start >= kLineRoom) {
            out.push_back({Expected::TooLong, {}});
            return out;
        }
        out.push_back({Expected::Line, bytes.substr(start, lf + 1 - start)});
        start = lf + 1;
    }
}

// The reply code: the leading run of at most ten digits, 0 when there is none or
// when its value does not fit the 16-bit field.
int16_t ReferenceReplyNumber(const std::string& line) {
    long long v = 0;
    size_t i = 0;
    for (; i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9'; ++i) v = v * 10 + (line[i] - '0');
    return v <= 32767 ? static_cast<int16_t>(v) : 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static int qargc = 1;
    static char* qargv[] = {(*argv)[0], nullptr};
    (void)argc;
    new QCoreApplication(qargc, qargv);
    g_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (g_listener < 0 || bind(g_listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(g_listener, 16) != 0 || getsockname(g_listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("reply_fuzz: listener");
        std::abort();
    }
    g_port = ntohs(a.sin_port);
    return 0;
}

namespace {

// The peer's side: writes the payload in random segments, one per turn of the event
// loop, then shuts its side.
class SegmentWriter {
public:
    SegmentWriter(int peer, const std::string& payload, int sizeClass, uint64_t seed)
        : peer_(peer), payload_(payload), sizeClass_(sizeClass), segments_(seed) {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Turn(); });
        timer_.start();
    }
    ~SegmentWriter() { timer_.stop(); }
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

private:
    void Turn() {
        char sink[4096];
        while (recv(peer_, sink, sizeof sink, MSG_DONTWAIT) > 0) {}
        if (sent_ < payload_.size()) {
            const uint64_t cap = (sizeClass_ % 3 == 0) ? 8 : (sizeClass_ % 3 == 1) ? 700 : 70000;
            // At most about 48 segments per input, so long inputs stay quick to run.
            const size_t n = std::min<size_t>(payload_.size() - sent_,
                                              std::max<size_t>(payload_.size() / 48, 1 + segments_.Below(cap)));
            const ssize_t w = send(peer_, payload_.data() + sent_, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) sent_ += static_cast<size_t>(w);
        }
        if (sent_ == payload_.size() && !shut_) {
            shutdown(peer_, SHUT_WR);
            shut_ = true;
            timer_.stop();
        }
    }

    const int peer_;
    const std::string& payload_;
    const int sizeClass_;
    Rng segments_;
    size_t sent_ = 0;
    bool shut_ = false;
    QTimer timer_;
};

// Connects the socket client to the listener and returns the peer's end.
int ConnectPeer(kelvo::TLinksock& sock) {
    sock.SetHost("127.0.0.1");
    sock.SetPort(g_port);
    sock.SetTimeOut(20000); // a wait that lasts this long is a hang: the peer always ends
    sock.Connect();
    const int peer = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    FUZZ_CHECK(peer >= 0, std::string("accept: ") + std::strerror(errno));
    return peer;
}

// Read k by ReadLn or Transaction must give what the reference wants; false once a
// line too long was refused, after which nothing more is read.
bool CheckRead(kelvo::TLinksock& sock, size_t k, const Expected& want, bool transaction) {
    std::string line;
    try {
        if (transaction)
            line = sock.Transaction("NOOP");
        else
            sock.ReadLn(line);
    } catch (const kelvo::EAbortError& e) {
        FUZZ_CHECK(false, std::string("read ") + std::to_string(k) + " waited for the time-out: " + e.what());
    } catch (const kelvo::ESockError& e) {
        FUZZ_CHECK(want.kind == Expected::TooLong && std::string(e.what()) == "Line too long",
                   "read " + std::to_string(k) + " raised " + Show(e.what()));
        return false;
    }
    FUZZ_CHECK(want.kind != Expected::TooLong,
               "a line over the working buffer was returned, " + std::to_string(line.size()) + " bytes");
    FUZZ_CHECK(line.size() <= kLineRoom, "line of " + std::to_string(line.size()) + " bytes");
    FUZZ_CHECK(line == want.line, "read " + std::to_string(k) + (transaction ? " (Transaction)" : " (ReadLn)") +
                                      " gave " + Show(line) + ", expected " + Show(want.line));
    if (transaction) {
        FUZZ_CHECK(sock.LastReply() == line, "LastReply differs from the returned line");
        FUZZ_CHECK(sock.ReplyNumber() == ReferenceReplyNumber(line),
                   "ReplyNumber " + std::to_string(sock.ReplyNumber()) + " for " + Show(line) + ", reference " +
                       std::to_string(ReferenceReplyNumber(line)));
    }
    if (want.kind == Expected::End) {
        // The end stays the end.
        std::string again = "x";
        sock.ReadLn(again);
        FUZZ_CHECK(again.empty(), "data after the end: " + Show(again));
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    uint64_t seed = 0;
    std::memcpy(&seed, data, 8);
    const uint8_t flags = data[8];
    std::string payload(reinterpret_cast<const char*>(data) + 9, size - 9);
    // Stretch the input past the working buffer now and then, for the long-line paths.
    if ((flags & 1) && !payload.empty())
        while (payload.size() < kLineRoom + 4000) payload += payload;
    Rng rng(seed);
    const std::vector<Expected> expected = Reference(payload);

    auto sock = std::make_unique<kelvo::TLinksock>();
    const int peer = ConnectPeer(*sock);
    {
        // Its segments drawn apart from the reads, so the mix of reads replays alike.
        const SegmentWriter writer(peer, payload, flags >> 1, seed ^ 0x5EC5EC5EC5ull);
        // Enough lines to mix both ways of reading; a stretched input of short lines
        // would otherwise spend seconds on lines alike.
        const size_t reads = std::min<size_t>(expected.size(), 200);
        for (size_t k = 0; k < reads; ++k) {
            const bool transaction = rng.Below(2) == 0;
            if (!CheckRead(*sock, k, expected[k], transaction)) break;
        }
    }
    sock.reset();
    close(peer);
    return 0;
}
