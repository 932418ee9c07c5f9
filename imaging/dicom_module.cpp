// The program's side of the DICOM module: finding and loading it, and the reader's functions that forward to it.
#include "imaging/dicom_module.h"

#include "imaging/dicom_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <mutex>
#include <new>

namespace kelvo::imaging {

namespace {

[[noreturn]] void Missing(const QString& file, const std::string& path, const QString& why) {
    throw EImageError(
        TLoadError::Unreadable,
        LoadErrorText(
            TLoadError::Unreadable, file,
            QStringLiteral("the DICOM reader %1 cannot be used: %2").arg(QString::fromLocal8Bit(path.c_str()), why)));
}

std::string ExecutableDir() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    const std::string exe(buffer, size_t(n));
    return exe.substr(0, exe.rfind('/'));
}

TPicture Unpack(TDicomResult r) {
    if (r.OutOfMemory) throw std::bad_alloc();
    if (r.Failed) throw EImageError(r.Kind, r.Text);
    return std::move(r.Picture);
}

const TDicomModule& ProgramModule(const QString& file) { return OpenDicomModule(DicomModulePath(), file); }

} // namespace

const TDicomModule& OpenDicomModule(const std::string& path, const QString& file) {
    static std::mutex lock;
    static std::map<std::string, const TDicomModule*> opened;
    const std::lock_guard<std::mutex> guard(lock);
    if (const auto it = opened.find(path); it != opened.end()) return *it->second;
    // Never closed: pictures and the decoders registered at its first use live on.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) Missing(file, path, QString::fromLocal8Bit(::dlerror()));
    using TEntry = const TDicomModule* (*)();
    const auto entry = reinterpret_cast<TEntry>(::dlsym(handle, kDicomModuleEntry));
    const TDicomModule* module = entry != nullptr ? entry() : nullptr;
    if (module == nullptr) Missing(file, path, QStringLiteral("it is not a Kelvo DICOM module"));
    if (module->Abi != kDicomModuleAbi) {
        Missing(file, path, QStringLiteral("it belongs to another version of Kelvo"));
    }
    opened.emplace(path, module);
    return *module;
}

std::string DicomModulePath() {
    const std::string dir = ExecutableDir();
    const std::string buildTree = KELVO_BUILD_TREE "/";
    if (dir.compare(0, buildTree.size(), buildTree) == 0) return KELVO_DICOM_MODULE_BUILT;
    return dir + "/" KELVO_DICOM_MODULE_INSTALLED;
}

TPicture LoadDicomFile(const QString& path, const QString& name, const TLoadLimits& limits) {
    return Unpack(ProgramModule(name).LoadFile(path, name, limits));
}

TPicture LoadDicomBytes(const uint8_t* data, size_t size, const QString& name, const TLoadLimits& limits) {
    return Unpack(ProgramModule(name).LoadBytes(data, size, name, limits));
}

} // namespace kelvo::imaging
