// The socket client over TLS against an OpenSSL peer on 127.0.0.1: verification faults, a dropped or silent handshake, injected clear text, and data both ways.
#include "net/linksock.h"
#include "net/tls_channel.h"
#include "platform/exceptions.h"
#include "platform/streams.h"
#include "tests/net/support/tls_server.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/raised.h"
#include "tests/support/test_certificates.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kelvo {
namespace {

using test::RaisedBy;
using test::TlsServer;

class LinksockTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::EnsureApp();
        certs = new test::TestCertificates;
    }
    static void TearDownTestSuite() {
        SetTlsTrustFileForTesting({});
        delete certs;
        certs = nullptr;
    }

    void SetUp() override {
        SetTlsTrustFileForTesting(certs->Path("ca.pem"));
        sock = std::make_unique<TLinksock>();
        sock->SetTimeOut(10000);
        sock->SetReportLevel(8);
        sock->OnStatus = [this](QObject*, const std::string& s) { statuses.push_back(s); };
    }

    void ConnectTo(const TlsServer& server) {
        sock->SetHost("127.0.0.1");
        sock->SetPort(server.Port());
        sock->Connect();
        ASSERT_TRUE(sock->Connected());
    }

    static std::string Certificate(const std::string& name) { return certs->Path(name + ".pem"); }
    static std::string Key(const std::string& name) { return certs->Path(name + ".key"); }

    static test::TestCertificates* certs;
    std::unique_ptr<TLinksock> sock;
    std::vector<std::string> statuses;
};

test::TestCertificates* LinksockTlsTest::certs = nullptr;

TEST_F(LinksockTlsTest, SecuredConnectionCarriesLinesBothWays) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Answer);
    ConnectTo(server);
    sock->StartTls("127.0.0.1");
    EXPECT_TRUE(sock->Secured());
    EXPECT_EQ(sock->Transaction("?first"), "250 ?first\r\n");
    EXPECT_EQ(sock->ReplyNumber(), 250);
    EXPECT_EQ(sock->Transaction("?second"), "250 ?second\r\n");
    sock->Disconnect();
    EXPECT_FALSE(sock->Secured());
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(server.Received(), "?first\r\n?second\r\n");
}

TEST_F(LinksockTlsTest, HostNameIsCheckedAgainstTheNameGivenNotTheAddress) {
    // "localhost" is in the certificate; the name is only compared, never looked up.
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Answer);
    ConnectTo(server);
    sock->StartTls("localhost");
    EXPECT_EQ(sock->Transaction("?x"), "250 ?x\r\n");
}

struct CertificateFault {
    const char* certificate;
    const char* serverName;
    bool testCa;
    const char* reason;
};

class CertificateFaultTest : public LinksockTlsTest, public ::testing::WithParamInterface<CertificateFault> {};

TEST_P(CertificateFaultTest, FailedVerificationNamesTheReasonAndSendsNothing) {
    const CertificateFault& f = GetParam();
    if (!f.testCa) SetTlsTrustFileForTesting({}); // the system's store, which does not know the test CA
    TlsServer server(Certificate(f.certificate), Key(f.certificate), TlsServer::Mode::Answer);
    ConnectTo(server);
    const std::string error = RaisedBy<ESockError>([&] { sock->StartTls(f.serverName); });
    EXPECT_EQ(error, std::string("Certificate verification failed: ") + f.reason);
    EXPECT_FALSE(sock->Secured());
    // Nothing goes out afterwards, neither through the session nor in clear.
    EXPECT_NE(RaisedBy<ESockError>([&] { sock->Writeln("MAIL FROM:<secret@example.com>"); }), "");
    sock->Disconnect();
    ASSERT_TRUE(server.Join());
    EXPECT_FALSE(server.HandshakeSucceeded());
    EXPECT_EQ(server.Received(), "");
    EXPECT_EQ(server.ReceivedAfterFailure().find("secret"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, CertificateFaultTest,
                         ::testing::Values(CertificateFault{"expired", "127.0.0.1", true, "certificate has expired"},
                                           CertificateFault{"wronghost", "127.0.0.1", true, "host name mismatch"},
                                           CertificateFault{"good", "mail.example.com", true, "host name mismatch"},
                                           CertificateFault{"cnonly", "localhost", true, "host name mismatch"},
                                           CertificateFault{"self", "127.0.0.1", true, "self-signed certificate"},
                                           CertificateFault{"good", "127.0.0.1", false,
                                                            "unable to get local issuer certificate"}));

TEST_F(LinksockTlsTest, ServerThatDropsTheHandshakeMidwayIsAnError) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::DropMidHandshake);
    ConnectTo(server);
    // Closed or reset, depending on whether the server had read all of the hello.
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->StartTls("127.0.0.1"); }).rfind("TLS handshake failed: ", 0), 0u);
    EXPECT_FALSE(sock->Secured());
}

TEST_F(LinksockTlsTest, SilentServerEndsTheHandshakeWithTheTimeOut) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Silent);
    ConnectTo(server);
    sock->SetTimeOut(300);
    statuses.clear();
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->StartTls("127.0.0.1"); }), "TLS handshake timed out");
    EXPECT_FALSE(sock->Canceled());
    EXPECT_EQ(statuses.front(), "Timer On");
    EXPECT_EQ(statuses.back(), "Timer Off");
    sock->Disconnect();
}

TEST_F(LinksockTlsTest, CancelEndsTheHandshake) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Silent);
    ConnectTo(server);
    sock->OnStatus = [this](QObject*, const std::string& s) {
        if (s == "Timer On")
            QMetaObject::invokeMethod(
                sock.get(), [this] { sock->Cancel(); }, Qt::QueuedConnection);
    };
    EXPECT_EQ(RaisedBy<EAbortError>([&] { sock->StartTls("127.0.0.1"); }), "TLS handshake aborted");
    sock->Disconnect();
}

TEST_F(LinksockTlsTest, ClearTextSentAheadOfTheHandshakeIsDropped) {
    // One segment: the go-ahead and a forged reply behind it (the STARTTLS response injection).
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Answer, "220 ready\r\n250 forged reply\r\n");
    ConnectTo(server);
    std::string line;
    ASSERT_TRUE(test::SpinUntil([&] { return sock->DataAvailable(); }));
    test::SpinFor(50); // both lines are in the socket now
    sock->ReadLn(line);
    EXPECT_EQ(line, "220 ready\r\n");
    sock->StartTls("127.0.0.1");
    EXPECT_EQ(sock->Transaction("?after"), "250 ?after\r\n");
}

TEST_F(LinksockTlsTest, LargeStreamArrivesWhole) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Answer);
    ConnectTo(server);
    sock->StartTls("127.0.0.1");
    TMemoryStream stream;
    std::string data;
    for (int i = 0; data.size() < 3 * 1024 * 1024; ++i)
        data += "line " + std::to_string(i) + " of the stream, with some text to make it longer\r\n";
    stream.Write(data.data(), static_cast<int32_t>(data.size()));
    int packets = 0;
    sock->OnPacketSent = [&](QObject*) { ++packets; };
    sock->SendStream(stream);
    EXPECT_GT(packets, 0);
    EXPECT_EQ(sock->Transaction("?end"), "250 ?end\r\n");
    sock->Disconnect();
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(server.Received(), data + "?end\r\n");
}

TEST_F(LinksockTlsTest, EndlessLineFromTheServerIsRefusedNotGathered) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Flood);
    ConnectTo(server);
    sock->StartTls("127.0.0.1");
    std::string line;
    EXPECT_THROW(sock->ReadLn(line), ESockError);
    EXPECT_FALSE(sock->Canceled());
    sock->Disconnect();
}

TEST_F(LinksockTlsTest, ServerThatRenegotiatesIsAnsweredWithinTheTimeOut) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Renegotiate);
    ConnectTo(server);
    sock->StartTls("127.0.0.1");
    sock->SetTimeOut(3000); // a stalled handshake would last the whole time-out
    // Renegotiated before the answer, then behind it: the next send meets the handshake.
    for (const std::string line : {"?EHLO", "!MAIL", "?RCPT"}) EXPECT_EQ(sock->Transaction(line), "250 " + line + "\r\n");
}

TEST_F(LinksockTlsTest, SecuringTwiceIsRefused) {
    TlsServer server(Certificate("good"), Key("good"), TlsServer::Mode::Answer);
    ConnectTo(server);
    sock->StartTls("127.0.0.1");
    EXPECT_EQ(RaisedBy<ESockError>([&] { sock->StartTls("127.0.0.1"); }), "The connection is already secured");
    EXPECT_EQ(sock->Transaction("?still"), "250 ?still\r\n");
}

} // namespace
} // namespace kelvo
