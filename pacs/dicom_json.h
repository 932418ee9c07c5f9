// Reading the DICOM JSON (application/dicom+json) that QIDO-RS and STOW-RS answer with, into study rows and store results.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace kelvo::pacs {

// One study of a search result. Texts the server left out are empty, counts -1.
struct TStudyRow {
    QString PatientName; // as DICOM writes it, components split by '^'
    QString PatientId;
    QString StudyUid;
    QDate Date;          // invalid when absent or malformed
    QString Time;        // HHMMSS as sent
    QString Description;
    QString Accession;
    QStringList Modalities;
    int32_t Series = -1;
    int32_t Instances = -1;
};

// One series of a study. Texts the server left out are empty, numbers -1.
struct TSeriesRow {
    QString SeriesUid;
    QString Modality;
    QString Description;
    int32_t Number = -1;
    int32_t Instances = -1;
};

// One instance the server refused, with its Failure Reason (0 when not given).
struct TStoreFailure {
    QString SopInstanceUid;
    uint16_t Reason = 0;
};

// What a STOW-RS response says: the instances stored and those refused.
struct TStoreResult {
    QStringList Stored;
    std::vector<TStoreFailure> Failed;
};

// The studies of a QIDO-RS /studies response body; an empty body is no study. Entries
// that are not objects, or have no Study Instance UID, are skipped; a body that is not
// a JSON array raises EPacsError (BadResponse). The rows come newest first, by date
// and time, undated ones last.
std::vector<TStudyRow> ParseStudies(const QByteArray& body);

// The series of a QIDO-RS /studies/{uid}/series body, by series number (unnumbered
// last); the same rules as ParseStudies.
std::vector<TSeriesRow> ParseSeries(const QByteArray& body);
void SortByNumber(std::vector<TSeriesRow>& rows);

// The stored and refused instances of a STOW-RS response body (an object, or an array
// holding one); anything else raises EPacsError (BadResponse).
TStoreResult ParseStoreResponse(const QByteArray& body);

// Orders rows newest first: by date, then time, then study UID; undated last.
void SortByDate(std::vector<TStudyRow>& rows);

} // namespace kelvo::pacs
