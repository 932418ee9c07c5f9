// The instance cache on disk: entries, their temporaries, eviction and the lists of retrieved studies.
#include "pacs/instance_cache.h"

#include "pacs/errors.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryFile>

#include <cstdio>

namespace kelvo::pacs {
namespace {

constexpr const char* kSuffix = ".dcm";
constexpr const char* kTemporarySuffix = ".part";

[[noreturn]] void DiskFailed(const QString& what) { throw EPacsError(TPacsError::LocalFile, what); }

} // namespace

TInstanceCache::TInstanceCache(const QString& dir, int64_t limitBytes) : dir_(QDir(dir).absolutePath()), limit_(limitBytes) {
    if (!QDir().mkpath(dir_ + "/lists")) DiskFailed(QStringLiteral("cannot make the cache folder %1").arg(dir_));
    const QDir folder(dir_);
    // Temporaries of an earlier run that ended in the middle of an entry.
    for (const QString& name : folder.entryList({QStringLiteral("*") + kTemporarySuffix}, QDir::Files))
        QFile::remove(folder.filePath(name));
    for (const QString& name :
         folder.entryList({QStringLiteral("*") + kTemporarySuffix}, QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(folder.filePath(name)).removeRecursively();
    // The order of use of an earlier run is kept in the files' times.
    for (const QFileInfo& info :
         folder.entryInfoList({QStringLiteral("*") + kSuffix}, QDir::Files, QDir::Time | QDir::Reversed)) {
        entries_[info.fileName()] = {info.size(), ++uses_};
        total_ += info.size();
    }
    Evict(QString());
}

TInstanceCache::~TInstanceCache() = default;

QString TInstanceCache::Key(const QString& sopUid) {
    // UIDs are digits and dots (up to 64 characters); anything else from the network is
    // hashed rather than trusted as a file name.
    static const QRegularExpression uid(QStringLiteral("^[0-9][0-9.]{0,63}$"));
    if (uid.match(sopUid).hasMatch()) return sopUid + kSuffix;
    return QString::fromLatin1(QCryptographicHash::hash(sopUid.toUtf8(), QCryptographicHash::Sha256).toHex()) + kSuffix;
}

QString TInstanceCache::Path(const QString& sopUid) const { return dir_ + "/" + Key(sopUid); }

void TInstanceCache::Touch(const QString& sopUid) {
    const auto it = entries_.find(Key(sopUid));
    if (it == entries_.end()) return;
    it->second.Used = ++uses_;
    QFile file(Path(sopUid));
    if (file.open(QIODevice::ReadWrite)) file.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
}

TInstanceCache::TWriter::~TWriter() = default; // QTemporaryFile removes an uncommitted file

void TInstanceCache::TWriter::Write(const char* data, qsizetype size) {
    if (file_->write(data, size) != size) DiskFailed(QStringLiteral("%1: %2").arg(temporaryPath_, file_->errorString()));
    size_ += size;
}

void TInstanceCache::TWriter::Flush() {
    if (!file_->flush()) DiskFailed(QStringLiteral("%1: %2").arg(temporaryPath_, file_->errorString()));
}

std::unique_ptr<TInstanceCache::TWriter> TInstanceCache::Begin() {
    std::unique_ptr<TWriter> writer(new TWriter);
    writer->file_ = std::make_unique<QTemporaryFile>(dir_ + "/XXXXXX" + kTemporarySuffix);
    if (!writer->file_->open()) DiskFailed(QStringLiteral("%1: %2").arg(dir_, writer->file_->errorString()));
    writer->temporaryPath_ = writer->file_->fileName();
    return writer;
}

QString TInstanceCache::Commit(std::unique_ptr<TWriter> writer, const QString& sopUid) {
    if (!writer->file_->flush())
        DiskFailed(QStringLiteral("%1: %2").arg(writer->temporaryPath_, writer->file_->errorString()));
    writer->file_->close();
    const QString path = Place(writer->temporaryPath_, sopUid, writer->size_);
    writer->file_->setAutoRemove(false);
    return path;
}

QString TInstanceCache::MakeStagingFolder() {
    const QDir folder(dir_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = QString::number(QRandomGenerator::global()->generate64(), 36) + kTemporarySuffix;
        if (folder.mkdir(name)) return folder.filePath(name);
    }
    DiskFailed(QStringLiteral("cannot make a folder in %1").arg(dir_));
}

QString TInstanceCache::Adopt(const QString& file, const QString& sopUid) {
    return Place(file, sopUid, QFileInfo(file).size());
}

QString TInstanceCache::Place(const QString& from, const QString& sopUid, int64_t size) {
    const QString key = Key(sopUid);
    const QString path = dir_ + "/" + key;
    // rename(2) replaces an older copy in one step, so readers see the old or the new file.
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(path).constData()) != 0)
        DiskFailed(QStringLiteral("cannot rename %1 to %2").arg(from, path));
    const auto old = entries_.find(key);
    if (old != entries_.end()) total_ -= old->second.Size;
    entries_[key] = {size, ++uses_};
    total_ += size;
    Evict(key);
    return path;
}

void TInstanceCache::Evict(const QString& keep) {
    while (total_ > limit_ && entries_.size() > (keep.isEmpty() ? 0u : 1u)) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->first != keep && (oldest == entries_.end() || it->second.Used < oldest->second.Used)) oldest = it;
        if (oldest == entries_.end()) return;
        QFile::remove(dir_ + "/" + oldest->first);
        total_ -= oldest->second.Size;
        entries_.erase(oldest);
    }
}

QString TInstanceCache::ListPath(const QString& key) const {
    return dir_ + "/lists/" +
           QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex()) + ".txt";
}

QStringList TInstanceCache::CompleteList(const QString& key) const {
    QFile file(ListPath(key));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QStringList uids = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& uid : uids)
        if (!Contains(uid)) return {};
    return uids;
}

void TInstanceCache::SetCompleteList(const QString& key, const QStringList& sopUids) {
    QSaveFile file(ListPath(key));
    if (!file.open(QIODevice::WriteOnly) || file.write(sopUids.join(QLatin1Char('\n')).toUtf8()) < 0 || !file.commit())
        DiskFailed(ListPath(key));
}

void TInstanceCache::ForgetCompleteLists() {
    const QDir lists(dir_ + "/lists");
    for (const QString& name : lists.entryList(QDir::Files)) QFile::remove(lists.filePath(name));
}

QString LinkFolder(const QString& parent, const QStringList& files) {
    QStringList sorted = files;
    sorted.sort();
    const QByteArray key = QCryptographicHash::hash(sorted.join('\n').toUtf8(), QCryptographicHash::Sha256).toHex().left(24);
    const QString folder = QDir(parent).absoluteFilePath(QString::fromLatin1(key));
    if (!QDir().mkpath(folder)) DiskFailed(QStringLiteral("cannot make the folder %1").arg(folder));
    // Links of an earlier opening that are not in the list any more would join the study.
    QSet<QString> names;
    for (const QString& file : files) names.insert(QFileInfo(file).fileName());
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (!names.contains(name)) QFile::remove(dir.filePath(name));
    }
    for (const QString& file : files) {
        const QFileInfo info(file);
        const QString link = dir.filePath(info.fileName());
        if (QFileInfo(link).isSymLink() && QFileInfo(link).symLinkTarget() == info.absoluteFilePath()) continue;
        QFile::remove(link);
        if (!QFile::link(info.absoluteFilePath(), link)) DiskFailed(QStringLiteral("cannot link %1 into %2").arg(file, folder));
    }
    return folder;
}

} // namespace kelvo::pacs
