#include "tests/mail/support/mail_test_support.h"

#include <QJsonDocument>
#include <QProcess>
#include <QStringList>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace kelvo::test {

std::string WireData(TMailComposer& composer) {
    std::string wire;
    for (const auto& line : composer.FinalHeader().Items()) wire += line + "\r\n";
    wire += "\r\n\r\n";
    wire += composer.BodyStream().DataString();
    wire += ".\r\n";
    return wire;
}

std::string ReceivedMessage(const std::string& wire) {
    std::string out;
    size_t pos = 0;
    while (pos < wire.size()) {
        size_t end = wire.find("\r\n", pos);
        if (end == std::string::npos) end = wire.size();
        const std::string line = wire.substr(pos, end - pos);
        if (line == ".") break;
        out += (!line.empty() && line[0] == '.') ? line.substr(1) : line;
        out += "\r\n";
        pos = end + 2;
    }
    return out;
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvo_mail_XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name, const std::string& bytes) const {
    const std::string path = path_ + "/" + name;
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
    return s;
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

PythonRun RunPython(const std::string& script, const std::vector<std::string>& args) {
    QStringList a{"-c", QString::fromStdString(script)};
    for (const auto& s : args) a << QString::fromStdString(s);
    QProcess p;
    p.start("/usr/bin/python3", a);
    PythonRun run;
    if (!p.waitForFinished(120000)) {
        run.err = "python3 did not finish: " + p.errorString().toStdString();
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = p.readAllStandardOutput().toStdString();
    run.err = p.readAllStandardError().toStdString();
    return run;
}

namespace {

const char* const kParseScript = R"PY(
import sys, json, warnings
warnings.simplefilter('ignore')
from email import message_from_bytes, policy

raw = open(sys.argv[1], 'rb').read()
msg = message_from_bytes(raw, policy=policy.default)

def defects(p):
    # The parser files header defects (ObsoleteHeaderDefect, NonPrintableDefect, ...)
    # on the header objects, not on the message.
    found = [type(d).__name__ for d in p.defects]
    for name, value in p.items():
        found += ['%s: %s' % (name, type(d).__name__) for d in getattr(value, 'defects', ())]
    return found

def part_info(p):
    info = {
        'content_type': p.get_content_type(),
        'charset': p.get_param('charset') or '',
        'cte': p.get('Content-Transfer-Encoding', '') and str(p['Content-Transfer-Encoding']),
        'filename': p.get_filename() or '',
        'defects': defects(p),
    }
    if p.get_content_maintype() == 'text':
        info['text'] = p.get_content()
    else:
        # The reader's own decoding, uuencode included.
        info['data_hex'] = p.get_payload(decode=True).hex()
    return info

all_defects = []
for p in msg.walk():
    all_defects += defects(p)
out = {
    'defects': all_defects,
    'headers': {k: str(v) for k, v in msg.items()},
    'header_names': list(msg.keys()),
    'content_type': msg.get_content_type(),
}
for field, key in (('To', 'to'), ('CC', 'cc'), ('Reply-To', 'reply_to')):
    if msg[field] is not None:
        out[key] = [[a.display_name, a.addr_spec] for a in msg[field].addresses]
if msg['Date'] is not None and msg['Date'].datetime is not None:
    import datetime, time
    d = msg['Date'].datetime
    out['date_age'] = time.time() - d.timestamp()
    out['date_offset'] = int(d.utcoffset().total_seconds()) if d.utcoffset() is not None else -1
    out['local_offset'] = int(datetime.datetime.fromtimestamp(d.timestamp()).astimezone().utcoffset().total_seconds())
addrs = msg['From'].addresses if msg['From'] is not None else ()
out['from_name'] = addrs[0].display_name if addrs else ''
out['from_addr'] = addrs[0].addr_spec if addrs else ''
if msg.is_multipart():
    out['parts'] = [part_info(p) for p in msg.iter_parts()]
    out['preamble'] = msg.preamble or ''
else:
    out['parts'] = [part_info(msg)]
print(json.dumps(out))
)PY";

} // namespace

QJsonObject ParseWithPython(const std::string& message, const TempDir& dir) {
    const std::string path = dir.File("message.eml", message);
    const PythonRun run = RunPython(kParseScript, {path});
    if (run.exitCode != 0) throw std::runtime_error("python3 failed: " + run.err);
    return QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object();
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

} // namespace kelvo::test
