// DICOM JSON read with Qt's JSON parser; every value is checked for its type, since the body comes from the network.
#include "pacs/dicom_json.h"

#include "pacs/errors.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <limits>

namespace kelvo::pacs {
namespace {

// The "Value" array of attribute `tag`; empty when absent or of the wrong shape.
QJsonArray Values(const QJsonObject& dataset, const char* tag) {
    const QJsonValue attribute = dataset.value(QLatin1String(tag));
    return attribute.isObject() ? attribute.toObject().value(QLatin1String("Value")).toArray() : QJsonArray();
}

// A string value; a person name is an object whose "Alphabetic" group is shown.
QString Text(const QJsonValue& v) {
    if (v.isString()) return v.toString();
    if (v.isObject()) return v.toObject().value(QLatin1String("Alphabetic")).toString();
    if (v.isDouble()) return QString::number(v.toDouble());
    return QString();
}

QString First(const QJsonObject& dataset, const char* tag) {
    const QJsonArray values = Values(dataset, tag);
    return values.isEmpty() ? QString() : Text(values.first());
}

// An IS or US value, sent as a number or (by some servers) as a string; -1 when it is
// neither or does not fit.
int64_t Integer(const QJsonObject& dataset, const char* tag, int64_t max) {
    const QJsonArray values = Values(dataset, tag);
    if (values.isEmpty()) return -1;
    const QJsonValue v = values.first();
    double d = -1;
    if (v.isDouble()) {
        d = v.toDouble();
    } else if (v.isString()) {
        bool ok = false;
        d = v.toString().trimmed().toDouble(&ok);
        if (!ok) return -1;
    }
    if (!(d >= 0 && d <= static_cast<double>(max)) || d != static_cast<double>(static_cast<int64_t>(d))) return -1;
    return static_cast<int64_t>(d);
}

QDate DicomDate(const QString& da) {
    // DA is YYYYMMDD; the old YYYY.MM.DD form is still met.
    QString digits = da.trimmed();
    digits.remove(QLatin1Char('.'));
    return digits.size() == 8 ? QDate::fromString(digits, QStringLiteral("yyyyMMdd")) : QDate();
}

QJsonDocument ParseJson(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) throw EPacsError(TPacsError::BadResponse, error.errorString());
    return doc;
}

TStudyRow Row(const QJsonObject& dataset) {
    TStudyRow row;
    row.PatientName = First(dataset, "00100010");
    row.PatientId = First(dataset, "00100020");
    row.StudyUid = First(dataset, "0020000D");
    row.Date = DicomDate(First(dataset, "00080020"));
    row.Time = First(dataset, "00080030");
    row.Description = First(dataset, "00081030");
    row.Accession = First(dataset, "00080050");
    for (const QJsonValue& v : Values(dataset, "00080061")) {
        const QString modality = Text(v);
        if (!modality.isEmpty()) row.Modalities << modality;
    }
    row.Series = static_cast<int32_t>(Integer(dataset, "00201206", std::numeric_limits<int32_t>::max()));
    row.Instances = static_cast<int32_t>(Integer(dataset, "00201208", std::numeric_limits<int32_t>::max()));
    return row;
}

// The array of a search answer's entries; an empty body is none.
QJsonArray Entries(const QByteArray& body) {
    if (body.trimmed().isEmpty()) return {};
    const QJsonDocument doc = ParseJson(body);
    if (!doc.isArray())
        throw EPacsError(TPacsError::BadResponse, QStringLiteral("a search answer must be a JSON array"));
    return doc.array();
}

} // namespace

void SortByDate(std::vector<TStudyRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const TStudyRow& a, const TStudyRow& b) {
        if (a.Date.isValid() != b.Date.isValid()) return a.Date.isValid();
        if (a.Date != b.Date) return a.Date > b.Date;
        if (a.Time != b.Time) return a.Time > b.Time;
        return a.StudyUid < b.StudyUid;
    });
}

std::vector<TStudyRow> ParseStudies(const QByteArray& body) {
    std::vector<TStudyRow> rows;
    for (const QJsonValue& entry : Entries(body)) {
        if (!entry.isObject()) continue;
        TStudyRow row = Row(entry.toObject());
        if (!row.StudyUid.isEmpty()) rows.push_back(std::move(row));
    }
    SortByDate(rows);
    return rows;
}

void SortByNumber(std::vector<TSeriesRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const TSeriesRow& a, const TSeriesRow& b) {
        if ((a.Number < 0) != (b.Number < 0)) return a.Number >= 0;
        return a.Number < b.Number;
    });
}

std::vector<TSeriesRow> ParseSeries(const QByteArray& body) {
    std::vector<TSeriesRow> rows;
    for (const QJsonValue& entry : Entries(body)) {
        const QJsonObject dataset = entry.toObject();
        TSeriesRow row{First(dataset, "0020000E"), First(dataset, "00080060"), First(dataset, "0008103E"),
                       static_cast<int32_t>(Integer(dataset, "00200011", std::numeric_limits<int32_t>::max())),
                       static_cast<int32_t>(Integer(dataset, "00201209", std::numeric_limits<int32_t>::max()))};
        if (!row.SeriesUid.isEmpty()) rows.push_back(std::move(row));
    }
    SortByNumber(rows);
    return rows;
}

TStoreResult ParseStoreResponse(const QByteArray& body) {
    const QJsonDocument doc = ParseJson(body);
    QJsonObject dataset;
    if (doc.isObject()) {
        dataset = doc.object();
    } else if (doc.isArray() && doc.array().size() == 1 && doc.array().first().isObject()) {
        dataset = doc.array().first().toObject();
    } else {
        throw EPacsError(TPacsError::BadResponse, QStringLiteral("a store answer must be one JSON object"));
    }
    TStoreResult result;
    // Referenced SOP Sequence (0008,1199): what was stored.
    for (const QJsonValue& item : Values(dataset, "00081199")) {
        const QString uid = First(item.toObject(), "00081155");
        if (!uid.isEmpty()) result.Stored << uid;
    }
    // Failed SOP Sequence (0008,1198), each with its Failure Reason (0008,1197).
    for (const QJsonValue& item : Values(dataset, "00081198")) {
        const QJsonObject failed = item.toObject();
        const int64_t reason = Integer(failed, "00081197", std::numeric_limits<uint16_t>::max());
        result.Failed.push_back({First(failed, "00081155"), static_cast<uint16_t>(reason < 0 ? 0 : reason)});
    }
    return result;
}

} // namespace kelvo::pacs
