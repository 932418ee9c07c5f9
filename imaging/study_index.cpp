// The study index: the walk over a folder or DICOMDIR, the headers read through the
// DICOM module, and their grouping into patients, studies, series and ordered stacks.
#include "imaging/study_index.h"

#include "imaging/dicom_headers.h"
#include "imaging/errors.h"
#include "platform/guarded.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <unordered_set>
#include <utility>

namespace kelvo::imaging {

namespace {

// Positions closer than this along the normal count as the same place.
constexpr double kSamePlaceMm = 1e-4;

QString ProblemText(TStudyProblem problem, const QString& path, const QString& detail) {
    switch (problem) {
    case TStudyProblem::None:
        return QString();
    case TStudyProblem::Missing:
        return QStringLiteral("\"%1\" does not exist.").arg(path);
    case TStudyProblem::Unreadable:
        return QStringLiteral("Cannot read \"%1\" (%2).").arg(path, detail);
    case TStudyProblem::Empty:
        return QStringLiteral("The folder \"%1\" holds no files.").arg(path);
    case TStudyProblem::NoImages:
        return QStringLiteral("No DICOM images in \"%1\": %2.").arg(path, detail);
    case TStudyProblem::Cancelled:
        return QStringLiteral("Reading \"%1\" was cancelled.").arg(path);
    }
    return QString();
}

QString Plural(int32_t n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString FileKind(mode_t mode) {
    if (S_ISFIFO(mode)) return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode)) return QStringLiteral("a socket");
    if (S_ISCHR(mode)) return QStringLiteral("a character device");
    if (S_ISBLK(mode)) return QStringLiteral("a block device");
    return QStringLiteral("not a regular file");
}

QString ErrnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool Cancelled(const std::atomic<bool>* cancel) { return cancel != nullptr && cancel->load(); }

// The files under a folder, in name order, never following a link to a folder already
// visited nor going deeper than the options allow; all else is a skip.
class TWalk {
public:
    TWalk(const TIndexOptions& options, const std::atomic<bool>* cancel, std::vector<TSkippedFile>& skipped)
        : options_(options), cancel_(cancel), skipped_(skipped) {}

    std::vector<QString> Files;

    void Root(const QByteArray& dir, const struct stat& st) {
        visited_.insert({st.st_dev, st.st_ino});
        Visit(dir, 0);
    }

private:
    void Skip(const QByteArray& path, TSkipReason reason, const QString& detail = QString()) {
        skipped_.push_back({QFile::decodeName(path), reason, detail});
    }

    std::vector<QByteArray> Names(const QByteArray& dir) {
        std::vector<QByteArray> names;
        DIR* d = opendir(dir.constData());
        if (d == nullptr) {
            Skip(dir, TSkipReason::Unreadable, ErrnoText(errno));
            return names;
        }
        while (const dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    void Visit(const QByteArray& dir, int32_t depth) {
        for (const QByteArray& name : Names(dir)) {
            if (Cancelled(cancel_)) return;
            const QByteArray path = dir + '/' + name;
            struct stat st {};
            if (stat(path.constData(), &st) != 0) {
                const int error = errno;
                struct stat link {};
                const bool dangling = lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode);
                if (error == ELOOP) {
                    Skip(path, TSkipReason::LinkLoop, ErrnoText(error));
                } else {
                    Skip(path, dangling ? TSkipReason::BrokenLink : TSkipReason::Unreadable, ErrnoText(error));
                }
            } else if (S_ISDIR(st.st_mode)) {
                if (depth + 1 > options_.MaxDepth) {
                    Skip(path, TSkipReason::TooDeep);
                } else if (!visited_.insert({st.st_dev, st.st_ino}).second) {
                    Skip(path, TSkipReason::LinkLoop);
                } else {
                    Visit(path, depth + 1);
                }
            } else if (S_ISREG(st.st_mode)) {
                Files.push_back(QFile::decodeName(path));
            } else {
                Skip(path, TSkipReason::NotRegular, FileKind(st.st_mode));
            }
        }
    }

    const TIndexOptions& options_;
    const std::atomic<bool>* cancel_;
    std::vector<TSkippedFile>& skipped_;
    std::set<std::pair<dev_t, ino_t>> visited_;
};

struct TRecord {
    QString Path;
    TDicomHeader Header;
};

TSkipReason SkipOf(THeaderProblem problem) {
    switch (problem) {
    case THeaderProblem::Unreadable:
        return TSkipReason::Unreadable;
    case THeaderProblem::NotDicom:
        return TSkipReason::NotDicom;
    case THeaderProblem::NoImage:
        return TSkipReason::NoImage;
    case THeaderProblem::None:
    case THeaderProblem::Damaged:
        break;
    }
    return TSkipReason::Damaged;
}

TVector3 Cross(const std::array<double, 6>& o) {
    return {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
}

// Orientation to a thousandth, so that rounding noise does not split a stack.
QString OrientationKey(const std::optional<std::array<double, 6>>& o) {
    if (!o) return QStringLiteral("-");
    QString key;
    for (const double v : *o) key += QString::number(std::nearbyint(v * 1000.0) / 1000.0 + 0.0) + QLatin1Char(',');
    return key;
}

struct TPlaced {
    TSlice Slice;
    std::optional<TVector3> Patient;
};

// In order along the normal when every slice has its own place there, otherwise by
// Instance Number and frame; the file name only settles what nothing else does.
std::vector<TSlice> Ordered(std::vector<TPlaced> placed, const std::optional<std::array<double, 6>>& orientation) {
    const std::optional<TVector3> normal = orientation ? std::optional<TVector3>(Cross(*orientation)) : std::nullopt;
    bool allPlaced = normal.has_value();
    for (TPlaced& p : placed) {
        if (normal && p.Patient) {
            p.Slice.Position = (*p.Patient)[0] * (*normal)[0] + (*p.Patient)[1] * (*normal)[1] +
                               (*p.Patient)[2] * (*normal)[2];
        }
        allPlaced = allPlaced && p.Slice.Position.has_value();
    }
    const auto byNumber = [](const TSlice& a, const TSlice& b) {
        const int64_t na = a.InstanceNumber.value_or(INT32_MAX);
        const int64_t nb = b.InstanceNumber.value_or(INT32_MAX);
        return std::tie(na, a.Frame, a.File) < std::tie(nb, b.Frame, b.File);
    };
    std::vector<TSlice> slices;
    slices.reserve(placed.size());
    for (TPlaced& p : placed) slices.push_back(std::move(p.Slice));
    if (allPlaced) {
        std::sort(slices.begin(), slices.end(), [&](const TSlice& a, const TSlice& b) {
            return *a.Position != *b.Position ? *a.Position < *b.Position : byNumber(a, b);
        });
        for (size_t i = 1; i < slices.size() && allPlaced; ++i) {
            allPlaced = *slices[i].Position - *slices[i - 1].Position > kSamePlaceMm;
        }
    }
    if (!allPlaced) std::sort(slices.begin(), slices.end(), byNumber);
    return slices;
}

// A series' records split into stacks of one size, photometric interpretation and
// orientation, the largest first.
std::vector<TStack> Stacks(const std::vector<const TRecord*>& records) {
    std::map<std::tuple<int32_t, int32_t, QString, QString>, std::pair<TStack, std::vector<TPlaced>>> groups;
    for (const TRecord* r : records) {
        const TDicomHeader& h = r->Header;
        auto& [stack, placed] = groups[{h.Rows, h.Columns, h.Photometric, OrientationKey(h.Orientation)}];
        stack.Rows = h.Rows;
        stack.Columns = h.Columns;
        stack.Photometric = h.Photometric;
        stack.Orientation = h.Orientation;
        for (int32_t f = 0; f < h.Frames; ++f) {
            const size_t at = h.Positions.size() > size_t(f) ? size_t(f) : 0;
            placed.push_back({TSlice{r->Path, f, h.SopInstanceUid, std::nullopt, h.InstanceNumber},
                              h.Positions.empty() ? std::nullopt : h.Positions[at]});
        }
    }
    std::vector<TStack> stacks;
    for (auto& [key, group] : groups) {
        group.first.Slices = Ordered(std::move(group.second), group.first.Orientation);
        stacks.push_back(std::move(group.first));
    }
    std::stable_sort(stacks.begin(), stacks.end(),
                     [](const TStack& a, const TStack& b) { return a.Slices.size() > b.Slices.size(); });
    return stacks;
}

// Groups the records into patients, studies and series, each level in a stable order.
TStudyIndex Assemble(const std::vector<TRecord>& records, const std::vector<TSkippedFile>& skipped) {
    using TSeriesKey = std::tuple<int64_t, QString>;
    std::map<std::pair<QString, QString>, std::map<std::pair<QString, QString>, std::map<TSeriesKey, std::vector<const TRecord*>>>>
        tree;
    for (const TRecord& r : records) {
        const TDicomHeader& h = r.Header;
        tree[{h.PatientName, h.PatientId}][{h.StudyDate, h.StudyUid}][{h.SeriesNumber.value_or(INT32_MAX), h.SeriesUid}]
            .push_back(&r);
    }
    TStudyIndex index;
    index.Skipped = skipped;
    for (const auto& [patientKey, studies] : tree) {
        TPatient& patient = index.Patients.emplace_back(TPatient{patientKey.first, patientKey.second, {}});
        for (const auto& [studyKey, series] : studies) {
            const TDicomHeader& first = series.begin()->second.front()->Header;
            TStudy& study = patient.Studies.emplace_back(TStudy{first.StudyUid, first.StudyDate, first.StudyDescription, {}});
            for (const auto& [seriesKey, members] : series) {
                const TDicomHeader& h = members.front()->Header;
                TSeries& s = study.Series.emplace_back(TSeries{h.SeriesUid, h.Modality, h.SeriesDescription,
                                                               h.SeriesNumber, 0, Stacks(members)});
                for (const TStack& stack : s.Stacks) s.Images += int32_t(stack.Slices.size());
            }
        }
    }
    return index;
}

// Where the headers come from: the folder's files, the DICOMDIR's, or the one file.
struct TSource {
    std::vector<QString> Files;
    TStudyProblem Problem = TStudyProblem::None;
    QString Detail;
};

TSource ListSource(const QString& path, const TIndexOptions& options, const std::atomic<bool>* cancel,
                   std::vector<TSkippedFile>& skipped) {
    TSource source;
    const QByteArray local = QFile::encodeName(path);
    struct stat st {};
    if (stat(local.constData(), &st) != 0) {
        source.Problem = errno == ENOENT ? TStudyProblem::Missing : TStudyProblem::Unreadable;
        source.Detail = ErrnoText(errno);
    } else if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(local.constData())) {
            closedir(d);
            TWalk walk(options, cancel, skipped);
            walk.Root(local, st);
            source.Files = std::move(walk.Files);
            if (source.Files.empty() && skipped.empty()) source.Problem = TStudyProblem::Empty;
        } else {
            source.Problem = TStudyProblem::Unreadable;
            source.Detail = ErrnoText(errno);
        }
    } else if (!S_ISREG(st.st_mode)) {
        source.Problem = TStudyProblem::Unreadable;
        source.Detail = FileKind(st.st_mode);
    } else {
        TDicomDirectory dir = ReadDicomDirectory(path);
        source.Files = dir.Failed ? std::vector<QString>{path} : std::move(dir.Files);
    }
    return source;
}

} // namespace

QString SkipReasonText(const TSkippedFile& skipped) {
    QString text;
    switch (skipped.Reason) {
    case TSkipReason::NotRegular:
        text = QStringLiteral("not a regular file");
        break;
    case TSkipReason::BrokenLink:
        text = QStringLiteral("a link to nothing");
        break;
    case TSkipReason::LinkLoop:
        text = QStringLiteral("a link to a folder already read");
        break;
    case TSkipReason::TooDeep:
        text = QStringLiteral("folders nested too deep");
        break;
    case TSkipReason::Unreadable:
        text = QStringLiteral("cannot be read");
        break;
    case TSkipReason::NotDicom:
        text = QStringLiteral("not DICOM");
        break;
    case TSkipReason::Damaged:
        text = QStringLiteral("damaged DICOM");
        break;
    case TSkipReason::NoImage:
        text = QStringLiteral("DICOM without an image");
        break;
    case TSkipReason::Duplicate:
        text = QStringLiteral("the same image as another file");
        break;
    case TSkipReason::Missing:
        text = QStringLiteral("named by the DICOMDIR but missing");
        break;
    }
    return skipped.Detail.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, skipped.Detail);
}

int32_t TStudyIndex::ImageCount() const {
    int32_t n = 0;
    for (const TPatient& p : Patients)
        for (const TStudy& s : p.Studies)
            for (const TSeries& series : s.Series) n += series.Images;
    return n;
}

int32_t TStudyIndex::SeriesCount() const {
    int32_t n = 0;
    for (const TPatient& p : Patients)
        for (const TStudy& s : p.Studies) n += int32_t(s.Series.size());
    return n;
}

const TSeries* TStudyIndex::FirstSeries() const {
    for (const TPatient& p : Patients)
        for (const TStudy& s : p.Studies)
            if (!s.Series.empty()) return &s.Series.front();
    return nullptr;
}

QString SummaryText(const TStudyIndex& index) {
    QString text = QStringLiteral("%1 in %2").arg(Plural(index.ImageCount(), "image", "images"),
                                                  QString::number(index.SeriesCount()) + QStringLiteral(" series"));
    if (!index.Skipped.empty()) {
        text += QStringLiteral("; %1 skipped").arg(Plural(int32_t(index.Skipped.size()), "file", "files"));
    }
    return text;
}

TStudyIndex IndexStudy(const QString& path, const TIndexOptions& options, const std::atomic<bool>* cancel,
                       const std::function<void(const TIndexProgress&)>& progress,
                       const std::function<void(const TStudyIndex&)>& snapshot) {
    std::vector<TSkippedFile> skipped;
    std::vector<TRecord> records;
    const auto finish = [&](TStudyProblem problem, const QString& detail) {
        TStudyIndex index = Assemble(records, skipped);
        index.Problem = problem;
        index.ProblemText = ProblemText(problem, path, detail);
        return index;
    };
    try {
        TSource source = ListSource(path, options, cancel, skipped);
        // A walk cut short may look like an empty folder.
        if (Cancelled(cancel)) return finish(TStudyProblem::Cancelled, QString());
        if (source.Problem != TStudyProblem::None) return finish(source.Problem, source.Detail);
        std::map<QString, QString> seen; // SOP Instance UID -> the file that gave it first
        TIndexProgress done{0, int32_t(source.Files.size())};
        for (const QString& file : source.Files) {
            if (Cancelled(cancel)) return finish(TStudyProblem::Cancelled, QString());
            struct stat st {};
            if (stat(QFile::encodeName(file).constData(), &st) != 0) {
                skipped.push_back({file, errno == ENOENT ? TSkipReason::Missing : TSkipReason::Unreadable, ErrnoText(errno)});
            } else if (!S_ISREG(st.st_mode)) {
                skipped.push_back({file, TSkipReason::NotRegular, FileKind(st.st_mode)});
            } else {
                TDicomHeader h = ReadDicomHeader(file);
                if (h.Problem != THeaderProblem::None) {
                    skipped.push_back({file, SkipOf(h.Problem), h.Detail});
                } else if (const auto [at, fresh] = seen.emplace(h.SopInstanceUid, file); !fresh) {
                    skipped.push_back({file, TSkipReason::Duplicate, at->second});
                } else {
                    records.push_back({file, std::move(h)});
                }
            }
            ++done.Done;
            if (options.OnFileRead) options.OnFileRead(done);
            if (progress) progress(done);
            if (snapshot && options.SnapshotEvery > 0 && done.Done % options.SnapshotEvery == 0) {
                snapshot(Assemble(records, skipped));
            }
        }
    } catch (const EImageError& e) {
        // The DICOM module could not be loaded: nothing can be read.
        return finish(TStudyProblem::Unreadable, e.Text());
    }
    if (records.empty()) {
        return finish(skipped.empty() ? TStudyProblem::Empty : TStudyProblem::NoImages,
                      Plural(int32_t(skipped.size()), "file", "files") + QStringLiteral(" skipped"));
    }
    return finish(TStudyProblem::None, QString());
}

TStudyScan::TStudyScan() : context_(std::make_unique<QObject>()) {}

TStudyScan::~TStudyScan() { Stop(); }

void TStudyScan::Stop() {
    if (cancel_) cancel_->store(true);
    if (worker_.joinable()) worker_.join();
    running_ = false;
}

void TStudyScan::Cancel() {
    if (cancel_) cancel_->store(true);
}

void TStudyScan::Start(const QString& path, const TIndexOptions& options) {
    Stop();
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    running_ = true;
    const uint64_t generation = ++generation_;
    // Each post runs on the owner's thread, only while this scan lives (its context
    // takes pending posts with it) and only for the run that made it.
    const auto post = [this, generation](auto deliver) {
        QMetaObject::invokeMethod(
            context_.get(),
            [this, generation, deliver = std::move(deliver)] {
                if (generation == generation_) Guarded("TStudyScan", deliver);
            },
            Qt::QueuedConnection);
    };
    worker_ = std::thread([this, path, options, cancel = cancel_, post] {
        TStudyIndex index = IndexStudy(
            path, options, cancel.get(),
            [&](const TIndexProgress& p) {
                // A post a file would flood the owner's queue on large folders.
                if (p.Done % 16 != 0 && p.Done != p.Total) return;
                post([this, p] {
                    if (auto handler = OnProgress) handler(p);
                });
            },
            [&](const TStudyIndex& snapshot) {
                post([this, snapshot] {
                    if (auto handler = OnSnapshot) handler(snapshot);
                });
            });
        post([this, index = std::move(index)] {
            running_ = false;
            if (auto handler = OnFinished) handler(index);
        });
    });
}

} // namespace kelvo::imaging
