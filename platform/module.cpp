// Finding and loading Kelvo's modules with the dynamic linker.
#include "platform/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <mutex>

namespace kelvo {

namespace {

std::string ExecutableDir() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    const std::string exe(buffer, size_t(n));
    return exe.substr(0, exe.rfind('/'));
}

} // namespace

std::string ModulePath(const std::string& fileName) {
    const std::string dir = ExecutableDir();
    const std::string buildTree = KELVO_BUILD_TREE "/";
    if (dir.compare(0, buildTree.size(), buildTree) == 0) return KELVO_MODULES_BUILT "/" + fileName;
    return dir + "/" KELVO_MODULES_INSTALLED "/" + fileName;
}

const void* LoadModule(const std::string& path, const char* entry, std::string& error) {
    static std::mutex lock;
    static std::map<std::string, const void*> loaded;
    const std::lock_guard<std::mutex> guard(lock);
    if (const auto it = loaded.find(path); it != loaded.end()) return it->second;
    // RTLD_LOCAL: the module's libraries stay out of the symbol look-ups of everything
    // loaded later.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        error = why != nullptr ? why : "it cannot be loaded";
        return nullptr;
    }
    using TEntry = const void* (*)();
    const auto function = reinterpret_cast<TEntry>(::dlsym(handle, entry));
    const void* table = function != nullptr ? function() : nullptr;
    if (table == nullptr) {
        ::dlclose(handle);
        error = std::string("it is not a Kelvo module (it has no ") + entry + ")";
        return nullptr;
    }
    loaded.emplace(path, table);
    return table;
}

} // namespace kelvo
