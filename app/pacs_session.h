// One PACS as the window uses it: searches, retrieves and stores go over DICOMweb or to the DICOM node, whichever the server has, one request at a time.
#pragma once

#include "pacs/dicomweb.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

namespace kelvo {

// What a request reports; empty members are skipped. Done fires once and last.
struct TPacsEvents {
    std::function<void(const std::vector<pacs::TStudyRow>&)> Studies{};
    std::function<void(const std::vector<pacs::TSeriesRow>&)> Series{};
    std::function<void(const pacs::TRetrievedInstance&)> Instance{};
    std::function<void(const pacs::TPacsProgress&)> Progress{};
    std::function<void(const pacs::TPacsStatus&)> Done{};
};

// The instance cache the program retrieves into (in the user's cache folder, 2 GiB),
// made at its first use; raises EPacsError (LocalFile) when the folder cannot be made.
pacs::TInstanceCache& ProgramInstanceCache();

class TPacsSession : public QObject {
public:
    // `server` carries its password already (PreparePassword); `cache` outlives the session.
    TPacsSession(pacs::TPacsServer server, pacs::TInstanceCache* cache, QObject* parent = nullptr);
    ~TPacsSession() override;

    const pacs::TPacsServer& Server() const { return server_; }
    bool Busy() const { return !job_.isNull(); }
    // Each starts a request after canceling the one running (whose Done says so). A
    // DICOM node answers a search whole: paging is DICOMweb's.
    void Search(const pacs::TStudyQuery& query, TPacsEvents events);
    void SearchSeries(const QString& studyUid, TPacsEvents events);
    void Retrieve(const QString& studyUid, const QString& seriesUid, TPacsEvents events);
    void Store(const QStringList& files, TPacsEvents events);
    void Cancel();

private:
    template <typename Job>
    void Run(Job* job, TPacsEvents events);

    pacs::TPacsServer server_;
    pacs::TInstanceCache* cache_;
    std::unique_ptr<pacs::TDicomWebClient> web_;
    QPointer<QObject> job_;
    std::function<void()> cancel_;
};

} // namespace kelvo
