// The disk cache of retrieved DICOM instances: one file per SOP Instance UID, written whole or not at all, under a size limit.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>

class QTemporaryFile;

namespace kelvo::pacs {

// Entries are named after their SOP Instance UID. A new entry is written to a temporary
// file in the cache's folder and renamed to its name only when it is whole, so a crash or
// a cancel leaves no entry that looks whole (the temporaries are removed at the next
// open). Past the size limit the least recently used entries go. The lists of the
// instances of retrieved studies and series let a study open again without the server.
// Not thread-safe: one thread (the GUI's) uses it.
class TInstanceCache {
public:
    // Opens (and makes) the folder `dir`; raises EPacsError (LocalFile) when it cannot.
    TInstanceCache(const QString& dir, int64_t limitBytes);
    ~TInstanceCache();
    TInstanceCache(const TInstanceCache&) = delete;
    TInstanceCache& operator=(const TInstanceCache&) = delete;

    const QString& Dir() const { return dir_; }
    int64_t LimitBytes() const { return limit_; }
    int64_t SizeBytes() const { return total_; }
    bool Contains(const QString& sopUid) const { return entries_.count(Key(sopUid)) != 0; }
    // The entry's path (whether or not it exists).
    QString Path(const QString& sopUid) const;
    // Marks the entry as just used, for the eviction order (kept in its file's time).
    void Touch(const QString& sopUid);

    // A new entry being written; nothing shows in the cache until Commit.
    class TWriter {
    public:
        ~TWriter(); // removes the temporary unless committed
        TWriter(const TWriter&) = delete;
        TWriter& operator=(const TWriter&) = delete;
        // Raises EPacsError (LocalFile) when the disk refuses.
        void Write(const char* data, qsizetype size);
        void Flush();
        const QString& TemporaryPath() const { return temporaryPath_; }

    private:
        friend class TInstanceCache;
        TWriter() = default;
        std::unique_ptr<QTemporaryFile> file_;
        QString temporaryPath_;
        int64_t size_ = 0;
    };
    std::unique_ptr<TWriter> Begin();
    // Renames the whole entry into place under `sopUid` (replacing an older copy), then
    // evicts the least recently used others while the cache is over its limit.
    QString Commit(std::unique_ptr<TWriter> writer, const QString& sopUid);

    // A folder inside the cache for files that another thread writes whole (a C-GET's);
    // it goes at the next open should the program end before it is removed.
    QString MakeStagingFolder();
    // Renames a whole file of the staging folder into place as `sopUid`'s entry, as Commit does.
    QString Adopt(const QString& file, const QString& sopUid);

    // The instances of a study or series (`key`) retrieved whole; empty unless all are
    // still in the cache.
    QStringList CompleteList(const QString& key) const;
    void SetCompleteList(const QString& key, const QStringList& sopUids);
    // Drops every list (the instances stay): a study may have gained instances since.
    void ForgetCompleteLists();

private:
    struct TEntry {
        int64_t Size = 0;
        uint64_t Used = 0; // a use counter: clock times tie within a millisecond
    };
    static QString Key(const QString& sopUid);
    QString ListPath(const QString& key) const;
    void Evict(const QString& keep);
    QString Place(const QString& from, const QString& sopUid, int64_t size);

    QString dir_;
    int64_t limit_;
    int64_t total_ = 0;
    uint64_t uses_ = 0;
    std::map<QString, TEntry> entries_; // by file name
};

// A folder under `parent` holding links to `files` (retrieved instances), for opening
// them together as a study. The same files always give the same folder, so that what
// was drawn on them is found again; links rather than copies, so that the cache's
// limit still holds (an evicted instance leaves a dangling link, which an index skips).
// Raises EPacsError (LocalFile) when the folder or a link cannot be made.
QString LinkFolder(const QString& parent, const QStringList& files);

} // namespace kelvo::pacs
