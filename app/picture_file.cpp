// Loading a picture file: opened without blocking, checked to be a regular file, then read by the loader.
#include "app/picture_file.h"

#include "canvas/annotations.h"
#include "imaging/errors.h"
#include "imaging/loader.h"
#include "platform/scope_exit.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelvo {

namespace {

[[noreturn]] void Refuse(const QString& name, const QString& why) {
    throw imaging::EImageError(imaging::TLoadError::Unreadable,
                               imaging::LoadErrorText(imaging::TLoadError::Unreadable, name, why));
}

} // namespace

imaging::TPicture LoadPictureFile(const QString& path) {
    const QString name = ShownFileName(QFileInfo(path).fileName().isEmpty() ? path : QFileInfo(path).fileName());
    // O_NONBLOCK: opening a pipe does not wait for a writer, nor a device for its line.
    const int fd = ::open(EncodeFileName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // A socket cannot be opened at all.
        Refuse(name, errno == ENXIO ? QStringLiteral("it is not a regular file") : qt_error_string(errno));
    }
    const ScopeExit closeFile([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0) Refuse(name, qt_error_string(errno));
    if (S_ISDIR(st.st_mode)) Refuse(name, QStringLiteral("it is a folder"));
    if (!S_ISREG(st.st_mode)) Refuse(name, QStringLiteral("it is not a regular file"));
    // The loader reads the open file through its /proc name, reached by a link under the
    // file's own name so that its messages name the file. That name is valid text, which
    // the loader's readers all encode alike.
    const QString opened = QStringLiteral("/proc/self/fd/%1").arg(fd);
    QTemporaryDir folder;
    const QString link = folder.filePath(name);
    const bool named =
        folder.isValid() && ::symlink(QFile::encodeName(opened).constData(), QFile::encodeName(link).constData()) == 0;
    return imaging::LoadPicture(named ? link : opened);
}

std::future<imaging::TPicture> LoadPictureFileAsync(const QString& path, std::function<void()> first) {
    return std::async(std::launch::async, [path, first = std::move(first)] {
        if (first) first();
        return LoadPictureFile(path);
    });
}

} // namespace kelvo
