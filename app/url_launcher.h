// The link launcher: a non-visual component that hands one link to the desktop to open.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

namespace kelvo {

// The kind of link, which selects the scheme written in front of it.
enum class TURLType : uint8_t {
    utFile,
    utFtp,
    utGopher,
    utHttp,
    utHttps,
    utMailto,
    utNews,
    utTelnet,
    utWais,
};
using enum TURLType;

// The scheme text of a link type; the last four carry no "//".
QString URLPrefix(TURLType type);

class TURL : public QObject {
    Q_OBJECT
public:
    explicit TURL(QObject* owner = nullptr);

    // The link without its scheme.
    const QString& URL() const { return url_; }
    void SetURL(const QString& value);

    TURLType URLType() const { return urlType_; }
    void SetURLType(TURLType value);

    // The prefix followed by URL, exactly as it is handed to the desktop.
    QString LinkText() const;

    // Opens the link; true when the desktop accepted it. An empty URL opens nothing.
    bool Execute();

private:
    QString url_;
    TURLType urlType_ = utHttp;
};

// The values ShellOpen returns: above 32 is success, as callers of the shell expect.
constexpr int32_t kShellOpened = 42;
constexpr int32_t kShellNoAssociation = 31; // nothing could open the link
constexpr int32_t kShellBadFormat = 11;     // a request the desktop cannot express

// The Windows show command Execute passes: show without taking the focus.
constexpr int32_t SW_SHOWNOACTIVATE = 4;

// Asks the desktop to open `file` with its default handler. The desktop opener
// (xdg-open) takes one link and nothing else, so parameters cannot be passed on
// and a call with parameters is refused rather than half-done; the directory and
// the show command have no meaning for it and are ignored. The whole text is
// handed over, however long: nothing is cut.
int32_t ShellOpen(const QString& file, const QString& parameters, const QString& directory, int32_t showCommand);

} // namespace kelvo
