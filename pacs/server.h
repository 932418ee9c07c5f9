// How a PACS is reached: its DICOMweb root and its DICOM node, with the user's credentials held in memory only.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <cstdint>

namespace kelvo::pacs {

// A DICOM network node (for C-FIND, C-GET and C-STORE).
struct TDicomNode {
    QString AeTitle;                       // the PACS's application entity title
    QString Host;
    uint16_t Port = 104;
    QString OurAeTitle = QStringLiteral("KELVO");
    // Where the PACS sends a C-MOVE's instances (the PACS knows our AE title at this
    // machine's address and this port); 0: studies come by C-GET instead.
    uint16_t OurPort = 0;
};

// Whether a password may travel over plain http, where anyone on the path reads it.
enum class TClearPassword : uint8_t { Refuse, SendConfirmed };

struct TPacsServer {
    QString Name;            // the user's label
    QUrl BaseUrl;            // the DICOMweb root, http or https ("https://pacs/dicom-web")
    QString User;            // basic authentication when not empty
    QString Password;        // never written to disk by the library (ToJson leaves it out)
    TClearPassword ClearPassword = TClearPassword::Refuse;
    // Trusted besides the system's certificate store: a site's own CA, or a test CA.
    QList<QSslCertificate> ExtraCaCertificates;
    // A request fails when no byte moves for this long (a slow server that keeps sending
    // is waited for).
    int IdleTimeoutMs = 30000;
    TDicomNode Node;
};

// The description for the settings, without the password; FromJson reads it back.
QJsonObject ServerToJson(const TPacsServer& server);
TPacsServer ServerFromJson(const QJsonObject& json);

} // namespace kelvo::pacs
