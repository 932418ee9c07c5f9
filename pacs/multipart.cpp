// The multipart reader: a small state machine over a buffer that holds only what may still be a boundary.
#include "pacs/multipart.h"

#include "pacs/errors.h"

#include <QList>

namespace kelvo::pacs {

QByteArray HeaderValue(const THeaderFields& fields, const QByteArray& name) {
    for (const auto& [n, v] : fields)
        if (n == name) return v;
    return QByteArray();
}

QByteArray MultipartBoundary(const QByteArray& contentType) {
    const QList<QByteArray> params = contentType.split(';');
    if (!params.first().trimmed().toLower().startsWith("multipart/")) return QByteArray();
    for (qsizetype i = 1; i < params.size(); ++i) {
        const QByteArray param = params[i].trimmed();
        const qsizetype eq = param.indexOf('=');
        if (eq < 0 || param.left(eq).trimmed().toLower() != "boundary") continue;
        QByteArray value = param.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) value = value.mid(1, value.size() - 2);
        // RFC 2046: 1 to 70 characters.
        return (value.isEmpty() || value.size() > 70) ? QByteArray() : value;
    }
    return QByteArray();
}

TMultipartReader::TMultipartReader(const QByteArray& boundary, int64_t maxPartBytes)
    : delimiter_("\r\n--" + boundary), maxPartBytes_(maxPartBytes) {
    // The first boundary line may open the body with no CRLF before it.
    buffer_ = "\r\n";
}

void TMultipartReader::Feed(const char* data, qsizetype size) {
    if (state_ == State::Closed) return; // the epilogue is ignored (RFC 2046)
    buffer_.append(data, size);
    Step();
}

void TMultipartReader::Finish() {
    if (state_ == State::Closed) return;
    if (state_ == State::Preamble)
        throw EPacsError(TPacsError::Truncated, QStringLiteral("no part began"));
    throw EPacsError(TPacsError::Truncated, QStringLiteral("part %1 has no end").arg(parts_));
}

void TMultipartReader::Step() {
    bool more = true;
    while (more) {
        switch (state_) {
        case State::Preamble: more = StepPreamble(); break;
        case State::AfterDelimiter: more = StepAfterDelimiter(); break;
        case State::Headers: more = StepHeaders(); break;
        case State::Data: more = StepData(); break;
        case State::Closed: more = false; break;
        }
    }
}

bool TMultipartReader::StepPreamble() {
    const qsizetype at = buffer_.indexOf(delimiter_);
    if (at < 0) {
        // Keep what may be the start of the delimiter, and a cap on a preamble without one.
        if (buffer_.size() > kMaxHeaderBytes)
            throw EPacsError(TPacsError::BadResponse, QStringLiteral("the body has no boundary line"));
        return false;
    }
    buffer_.remove(0, at + delimiter_.size());
    state_ = State::AfterDelimiter;
    return true;
}

bool TMultipartReader::StepAfterDelimiter() {
    if (buffer_.size() < 2) return false;
    if (buffer_.startsWith("--")) {
        state_ = State::Closed;
        buffer_.clear();
        return false;
    }
    // Transport padding (spaces, tabs) may follow a boundary before its CRLF.
    const qsizetype eol = buffer_.indexOf("\r\n");
    if (eol < 0) {
        if (buffer_.size() > kMaxHeaderBytes)
            throw EPacsError(TPacsError::BadResponse, QStringLiteral("a boundary line does not end"));
        return false;
    }
    for (qsizetype i = 0; i < eol; ++i)
        if (buffer_[i] != ' ' && buffer_[i] != '\t')
            throw EPacsError(TPacsError::BadResponse, QStringLiteral("text after a boundary"));
    buffer_.remove(0, eol + 2);
    state_ = State::Headers;
    return true;
}

bool TMultipartReader::StepHeaders() {
    // A part without header fields starts with the empty line at once.
    qsizetype end = buffer_.startsWith("\r\n") ? 0 : buffer_.indexOf("\r\n\r\n");
    if (end < 0 || end > kMaxHeaderBytes) {
        if (buffer_.size() > kMaxHeaderBytes)
            throw EPacsError(TPacsError::BadResponse, QStringLiteral("a part's header is too long"));
        return false;
    }
    THeaderFields fields;
    if (end > 0) {
        for (const QByteArray& line : buffer_.left(end).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) continue;
            fields.emplace_back(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
    }
    buffer_.remove(0, end + (end == 0 ? 2 : 4));
    bool ok = false;
    const qlonglong length = HeaderValue(fields, "content-length").toLongLong(&ok);
    announced_ = (ok && length >= 0) ? length : -1;
    partBytes_ = 0;
    ++parts_;
    state_ = State::Data;
    if (OnPartBegin) OnPartBegin(fields);
    return true;
}

bool TMultipartReader::StepData() {
    const qsizetype at = buffer_.indexOf(delimiter_);
    if (at < 0) {
        // Everything but a possible start of the delimiter belongs to the part.
        const qsizetype keep = std::min(buffer_.size(), delimiter_.size() - 1);
        const qsizetype n = buffer_.size() - keep;
        if (n > 0) {
            Emit(buffer_.constData(), n);
            buffer_.remove(0, n);
        }
        return false;
    }
    Emit(buffer_.constData(), at);
    buffer_.remove(0, at + delimiter_.size());
    state_ = State::AfterDelimiter;
    if (announced_ >= 0 && partBytes_ != announced_)
        throw EPacsError(TPacsError::Truncated,
                         QStringLiteral("part %1 has %2 of its %3 bytes").arg(parts_).arg(partBytes_).arg(announced_));
    if (OnPartEnd) OnPartEnd();
    return true;
}

void TMultipartReader::Emit(const char* data, qsizetype size) {
    if (size == 0) return;
    partBytes_ += size;
    if (announced_ >= 0 && partBytes_ > announced_)
        throw EPacsError(TPacsError::TooLarge,
                         QStringLiteral("part %1 is longer than its announced %2 bytes").arg(parts_).arg(announced_));
    if (partBytes_ > maxPartBytes_)
        throw EPacsError(TPacsError::TooLarge,
                         QStringLiteral("part %1 is longer than %2 bytes").arg(parts_).arg(maxPartBytes_));
    if (OnPartData) OnPartData(data, size);
}

} // namespace kelvo::pacs
