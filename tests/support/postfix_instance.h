// A private Postfix on 127.0.0.1 for one test (postfix_instance.py beside this file).
#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <unistd.h>

#include <string>
#include <vector>

namespace kelvo::test {

// Starts Postfix's master with its own configuration, queue and a free port; stops it
// and removes everything with the object. Needs root and the postfix package:
// Available() says whether it could start, Why() why not.
class PostfixInstance {
public:
    explicit PostfixInstance(const std::vector<std::string>& settings = {}) {
        if (::geteuid() != 0 || !QFile::exists("/usr/lib/postfix/sbin/master")) {
            why_ = "a private Postfix needs root and the postfix package";
            return;
        }
        QStringList args{QStringLiteral(KELVO_SOURCE_DIR "/tests/support/postfix_instance.py")};
        for (const auto& s : settings) args << QString::fromStdString(s);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("/usr/bin/python3", args);
        QByteArray out;
        while (port_ == 0 && process_.waitForReadyRead(30000)) {
            out += process_.readAll();
            for (const QByteArray& line : out.split('\n')) {
                if (line.startsWith("DIR ")) dir_ = QString::fromUtf8(line.mid(4)).trimmed();
                if (line.startsWith("PORT ")) port_ = static_cast<uint16_t>(line.mid(5).trimmed().toInt());
                if (line.startsWith("FAILED")) why_ = line.toStdString();
            }
            if (!why_.empty()) break;
        }
        if (port_ == 0 && why_.empty()) why_ = "Postfix did not start: " + out.toStdString();
    }
    ~PostfixInstance() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.closeWriteChannel();
        if (!process_.waitForFinished(20000)) process_.kill();
        process_.waitForFinished(5000);
    }
    PostfixInstance(const PostfixInstance&) = delete;
    PostfixInstance& operator=(const PostfixInstance&) = delete;

    bool Available() const { return port_ != 0; }
    const std::string& Why() const { return why_; }
    uint16_t Port() const { return port_; }
    // The server's log so far.
    std::string Log() const {
        QFile f(dir_ + "/LOGFILE");
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
    }
    // The helo=<...> names that the log reports (every RCPT, when the settings
    // include the default helo check), in order.
    std::vector<std::string> Helos() const { return Field("helo=<"); }
    // Lines of refused commands ("reject: RCPT from ...").
    std::vector<std::string> Rejections() const { return Lines("reject: "); }
    // Messages put into the queue (and then discarded).
    size_t Accepted() const { return Lines("nrcpt=").size(); }

private:
    QProcess process_;
    QString dir_;
    uint16_t port_ = 0;
    std::string why_;

    std::vector<std::string> Lines(const std::string& mark) const {
        std::vector<std::string> out;
        const std::string log = Log();
        for (size_t pos = log.find(mark); pos != std::string::npos; pos = log.find(mark, pos + 1)) {
            const size_t start = log.rfind('\n', pos) + 1;
            out.push_back(log.substr(start, log.find('\n', pos) - start));
        }
        return out;
    }
    std::vector<std::string> Field(const std::string& mark) const {
        std::vector<std::string> out;
        const std::string log = Log();
        for (size_t pos = log.find(mark); pos != std::string::npos; pos = log.find(mark, pos + 1)) {
            const size_t start = pos + mark.size();
            out.push_back(log.substr(start, log.find(">", start) - start));
        }
        return out;
    }
};

} // namespace kelvo::test
