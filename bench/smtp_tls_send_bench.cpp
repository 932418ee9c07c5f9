// TKivSMTP sending a 20 MB attachment over STARTTLS; run by bench/smtp_tls_compare.py, which supplies the server and compares with curl.
//
// KELVO_SMTP_TLS_PORT: the STARTTLS server on 127.0.0.1 (required).
// KELVO_SMTP_TLS_CA: the PEM file of the CA that signed the server's certificate.
// KELVO_SMTP_ATTACHMENT: the file to attach.
// KELVO_SMTP_MESSAGE_OUT: where to write the message as composed (what DATA carries,
// before dot-stuffing), so that another client can send the very same bytes.
#include "mail/smtp.h"
#include "net/tls_channel.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using namespace kelvo;

// One iteration is what a user's send costs: connect and secure, compose, send, quit.
void BM_ComposeAndSendOverStartTls(benchmark::State& state)
{
    const char* port = std::getenv("KELVO_SMTP_TLS_PORT");
    const char* ca = std::getenv("KELVO_SMTP_TLS_CA");
    const char* file = std::getenv("KELVO_SMTP_ATTACHMENT");
    if (port == nullptr || ca == nullptr || file == nullptr) {
        state.SkipWithError("run through bench/smtp_tls_compare.py");
        return;
    }
    SetTlsTrustFileForTesting(ca);
    TKivSMTP smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(std::atoi(port));
    smtp.SetUserID("kelvo.bench");
    smtp.SetTimeOut(120000);
    smtp.SetClearParams(false);
    smtp.SetSecurity(ssStartTls);
    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("bench@example.org");
    m.ToAddress().Add("sink@example.org");
    m.SetSubject("Benchmark");
    m.Body().Add("The attachment follows.");
    m.Attachments().Add(file);
    int64_t bytes = 0;
    for (auto _ : state) {
        smtp.Connect();
        smtp.SendMail();
        smtp.Disconnect();
        bytes += smtp.BodyStream().Size();
    }
    state.SetBytesProcessed(bytes);
    if (const char* out = std::getenv("KELVO_SMTP_MESSAGE_OUT")) {
        std::ofstream f(out, std::ios::binary);
        for (const std::string& line : smtp.FinalHeader().Items())
            f << line << "\r\n";
        f << "\r\n\r\n";
        const std::string body = smtp.BodyStream().DataString();
        f.write(body.data(), static_cast<std::streamsize>(body.size()));
    }
}
BENCHMARK(BM_ComposeAndSendOverStartTls)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);  // the socket waits run this thread's event loop
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
