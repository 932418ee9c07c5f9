// Windows Sockets 1.1 emulation: POSIX sockets, an edge-triggered epoll set per socket
// watched by a QSocketNotifier, and getaddrinfo on worker threads for lookups.
#include "platform/winsock.h"

#include <QSocketNotifier>

namespace kelvo::winsock {
namespace {
// The library's own values, taken before the POSIX headers redefine the names as macros.
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoLinger = SO_LINGER;
constexpr int kTcpNoDelay = TCP_NODELAY;
constexpr int kAfInet = AF_INET;
constexpr int kSockStream = SOCK_STREAM;
constexpr int kIpprotoTcp = IPPROTO_TCP;
constexpr int kMsgPeek = MSG_PEEK;
constexpr uint32_t kInaddrNone = INADDR_NONE;
} // namespace
} // namespace kelvo::winsock

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelvo::winsock {
namespace {

thread_local int lastError = 0;

struct Sock {
    int fd = -1;
    int epfd = -1;
    QSocketNotifier* notifier = nullptr;
    HWND wnd = 0;
    UINT msg = 0;
    long mask = 0;
    bool nonBlocking = false;
    bool listening = false;
    bool connectPending = false;
    bool readArmed = true;
    bool acceptArmed = true;
    bool writeArmed = false;
    bool closeReported = false;
    bool connected = false; // an unconnected socket reports hang-up too: only a connection can close
    int storedError = 0;    // a reset noticed by the watcher, reported by the next recv
};

struct Request {
    HANDLE id = 0;
    HWND wnd = 0;
    UINT msg = 0;
    char* buf = nullptr;
    int buflen = 0;
};

struct State {
    std::map<SOCKET, std::unique_ptr<Sock>> sockets; // GUI thread only
    SOCKET nextSocket = 1;
    int users = 0;
    int startupCalls = 0;
    int cleanupCalls = 0;
    int failSockets = 0;
    int failError = 0;
    std::mutex lookupMutex; // guards lookups and nextLookup
    std::map<HANDLE, std::shared_ptr<Request>> lookups;
    HANDLE nextLookup = 1;
};

// Never destroyed: a lookup thread may finish while the process exits.
State& state() {
    static State* s = new State;
    return *s;
}

int fail(int error) {
    lastError = error;
    return SOCKET_ERROR;
}

Sock* find(SOCKET s) {
    auto& socks = state().sockets;
    auto it = socks.find(s);
    return it == socks.end() ? nullptr : it->second.get();
}

int pendingBytes(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

void post(SOCKET s, Sock& k, long event, int error) {
    if (k.wnd != 0 && (k.mask & event))
        PostMessageA(k.wnd, k.msg, s, MAKELPARAM(static_cast<uint16_t>(event), static_cast<uint16_t>(error)));
}

// Turns what the socket reports into the notifications Windows Sockets posts for it.
void evaluate(SOCKET s, Sock& k, uint32_t events) {
    if (k.connectPending) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(k.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        k.connectPending = false;
        post(s, k, FD_CONNECT, err ? ErrorFromErrno(err) : 0);
        if (err) return;
        k.connected = true;
        k.writeArmed = true;
    }
    if (k.listening) {
        if ((events & EPOLLIN) && k.acceptArmed && (k.mask & FD_ACCEPT)) {
            k.acceptArmed = false;
            post(s, k, FD_ACCEPT, 0);
        }
        return;
    }
    if (!k.connected) return;
    if ((events & EPOLLIN) && k.readArmed && (k.mask & FD_READ) && pendingBytes(k.fd) > 0) {
        k.readArmed = false;
        post(s, k, FD_READ, 0);
    }
    if ((events & EPOLLOUT) && k.writeArmed && (k.mask & FD_WRITE)) {
        k.writeArmed = false;
        post(s, k, FD_WRITE, 0);
    }
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && !k.closeReported) {
        k.closeReported = true;
        int err = 0;
        if (events & EPOLLERR) {
            socklen_t len = sizeof err;
            ::getsockopt(k.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            k.storedError = err;
        }
        post(s, k, FD_CLOSE, err ? ErrorFromErrno(err) : 0);
    }
}

void onActivity(SOCKET s) {
    Sock* k = find(s);
    if (k == nullptr || k->epfd < 0) return;
    epoll_event evs[4];
    uint32_t all = 0;
    int n;
    while ((n = ::epoll_wait(k->epfd, evs, 4, 0)) > 0) {
        for (int i = 0; i < n; ++i) all |= evs[i].events;
        if (n < 4) break;
    }
    if (all) evaluate(s, *k, all);
}

void closeSock(Sock& k) {
    delete k.notifier;
    k.notifier = nullptr;
    if (k.epfd >= 0) ::close(k.epfd);
    if (k.fd >= 0) ::close(k.fd);
    k.epfd = k.fd = -1;
}

// After recv or accept: the original library posts again while something is still waiting.
void rearmRead(SOCKET s, Sock& k) {
    k.readArmed = true;
    if (k.wnd != 0 && !k.listening && (k.mask & FD_READ) && pendingBytes(k.fd) > 0) {
        k.readArmed = false;
        post(s, k, FD_READ, 0);
    }
}

SOCKET adopt(int fd) {
    State& st = state();
    for (int tries = 0; tries < 65534; ++tries) {
        SOCKET h = st.nextSocket;
        st.nextSocket = st.nextSocket >= 65534 ? 1 : st.nextSocket + 1;
        if (!st.sockets.count(h)) {
            auto k = std::make_unique<Sock>();
            k->fd = fd;
            st.sockets[h] = std::move(k);
            return h;
        }
    }
    ::close(fd);
    lastError = WSAEMFILE;
    return INVALID_SOCKET;
}

void completeLookup(const std::shared_ptr<Request>& req, std::string canonical, std::vector<uint32_t> addrs,
                    int error) {
    {
        State& st = state();
        std::lock_guard lock(st.lookupMutex);
        auto it = st.lookups.find(req->id);
        if (it == st.lookups.end()) return; // withdrawn: leave the caller's buffer alone
        st.lookups.erase(it);
    }
    uint16_t needed = 0;
    if (error == 0) {
        // Layout: hostent, alias list (empty), address pointer list, addresses, name.
        const size_t ptr = sizeof(char*);
        size_t off = sizeof(hostent);
        const size_t aliasOff = off;
        off += ptr;
        const size_t listOff = off;
        off += ptr * (addrs.size() + 1);
        const size_t addrOff = off;
        off += 4 * addrs.size();
        const size_t nameOff = off;
        off += canonical.size() + 1;
        needed = static_cast<uint16_t>(std::min<size_t>(off, 0xFFFF));
        if (off > static_cast<size_t>(req->buflen)) {
            error = WSAENOBUFS;
        } else {
            char* b = req->buf;
            std::memset(b, 0, off);
            auto* he = reinterpret_cast<hostent*>(b);
            auto** aliases = reinterpret_cast<char**>(b + aliasOff);
            auto** list = reinterpret_cast<char**>(b + listOff);
            aliases[0] = nullptr;
            for (size_t i = 0; i < addrs.size(); ++i) {
                std::memcpy(b + addrOff + 4 * i, &addrs[i], 4);
                list[i] = b + addrOff + 4 * i;
            }
            list[addrs.size()] = nullptr;
            std::memcpy(b + nameOff, canonical.c_str(), canonical.size() + 1);
            he->h_name = b + nameOff;
            he->h_aliases = aliases;
            he->h_addrtype = kAfInet;
            he->h_length = 4;
            he->h_addr_list = list;
        }
    }
    SendMessageA(req->wnd, req->msg, req->id, MAKELPARAM(needed, static_cast<uint16_t>(error)));
}

} // namespace

namespace {

// The Windows Sockets number for each errno value the socket calls can give.
constexpr std::pair<int, int> kErrnoToWinsock[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

} // namespace

int ErrorFromErrno(int err) {
    if (err == 0) {
        return 0;
    }
    for (const auto& [errnoValue, winsock] : kErrnoToWinsock) {
        if (errnoValue == err) {
            return winsock;
        }
    }
    return 10000 + err; // the library's own base for errors it has no name for
}

int WSAStartup(uint16_t versionRequested, WSADATA* data) {
    State& st = state();
    ++st.startupCalls;
    if (data) {
        data->wVersion = 0x0101;
        data->wHighVersion = 0x0101;
        std::strcpy(data->szDescription, "Kelvo Sockets 1.1");
        std::strcpy(data->szSystemStatus, "Running");
    }
    if ((versionRequested & 0xFF) < 1) return WSAVERNOTSUPPORTED;
    ++st.users;
    return 0;
}

int WSACleanup() {
    State& st = state();
    ++st.cleanupCalls;
    if (st.users == 0) return fail(WSANOTINITIALISED);
    if (--st.users == 0) {
        for (auto& [h, k] : st.sockets) closeSock(*k);
        st.sockets.clear();
        std::lock_guard lock(st.lookupMutex);
        st.lookups.clear();
    }
    return 0;
}

int WSAGetLastError() { return lastError; }
void WSASetLastError(int error) { lastError = error; }

SOCKET socket(int af, int type, int protocol) {
    State& st = state();
    if (st.users == 0) {
        lastError = WSANOTINITIALISED;
        return INVALID_SOCKET;
    }
    if (st.failSockets > 0) {
        --st.failSockets;
        lastError = st.failError;
        return INVALID_SOCKET;
    }
    if (af != kAfInet) {
        lastError = WSAEAFNOSUPPORT;
        return INVALID_SOCKET;
    }
    if (type != kSockStream) {
        lastError = WSAESOCKTNOSUPPORT;
        return INVALID_SOCKET;
    }
    if (protocol != 0 && protocol != kIpprotoTcp) {
        lastError = WSAEPROTONOSUPPORT;
        return INVALID_SOCKET;
    }
    const int fd = ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        lastError = ErrorFromErrno(errno);
        return INVALID_SOCKET;
    }
    return adopt(fd);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (level == kIpprotoTcp && optname == kTcpNoDelay) {
        // A BOOL as WinSock takes it: any non-zero int turns Nagle's algorithm off.
        if (optval == nullptr || optlen < static_cast<int>(sizeof(int))) return fail(WSAEFAULT);
        int on = 0;
        std::memcpy(&on, optval, sizeof on);
        on = on != 0 ? 1 : 0;
        if (::setsockopt(k->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return fail(ErrorFromErrno(errno));
        return 0;
    }
    if (level != kSolSocket || optname != kSoLinger) return fail(WSAENOPROTOOPT);
    if (optval == nullptr || optlen < static_cast<int>(sizeof(linger))) return fail(WSAEFAULT);
    linger l;
    std::memcpy(&l, optval, sizeof l);
    ::linger native{l.l_onoff ? 1 : 0, l.l_linger};
    if (::setsockopt(k->fd, SOL_SOCKET, SO_LINGER, &native, sizeof native) != 0) return fail(ErrorFromErrno(errno));
    return 0;
}

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (!k->nonBlocking) {
        const int flags = ::fcntl(k->fd, F_GETFL);
        ::fcntl(k->fd, F_SETFL, flags | O_NONBLOCK);
        k->nonBlocking = true;
    }
    if (k->epfd < 0) {
        k->epfd = ::epoll_create1(EPOLL_CLOEXEC);
        if (k->epfd < 0) return fail(ErrorFromErrno(errno));
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u32 = s;
        if (::epoll_ctl(k->epfd, EPOLL_CTL_ADD, k->fd, &ev) != 0) {
            const int e = errno;
            ::close(k->epfd);
            k->epfd = -1;
            return fail(ErrorFromErrno(e));
        }
        k->notifier = new QSocketNotifier(k->epfd, QSocketNotifier::Read);
        QObject::connect(k->notifier, &QSocketNotifier::activated, k->notifier, [s] { onActivity(s); });
    } else {
        // Re-registering reports the current state again, as a new registration should.
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u32 = s;
        ::epoll_ctl(k->epfd, EPOLL_CTL_MOD, k->fd, &ev);
    }
    k->wnd = events ? wnd : 0;
    k->msg = msg;
    k->mask = events;
    k->readArmed = true;
    k->acceptArmed = true;
    k->writeArmed = (events & FD_WRITE) != 0;
    return 0;
}

int connect(SOCKET s, const sockaddr_in* name, int namelen) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (name == nullptr || namelen < 16) return fail(WSAEFAULT);
    if (name->sin_family != kAfInet) return fail(WSAEAFNOSUPPORT);
    if (name->sin_addr == 0) return fail(WSAEADDRNOTAVAIL);
    ::sockaddr_in a{};
    a.sin_family = PF_INET;
    a.sin_port = name->sin_port;
    a.sin_addr.s_addr = name->sin_addr;
    if (::connect(k->fd, reinterpret_cast<::sockaddr*>(&a), sizeof a) == 0) {
        k->closeReported = false;
        k->connected = true;
        post(s, *k, FD_CONNECT, 0);
        return 0;
    }
    const int e = errno;
    if (!k->nonBlocking) return fail(ErrorFromErrno(e));
    if (e == EINPROGRESS) {
        k->connectPending = true;
        k->closeReported = false;
        return fail(WSAEWOULDBLOCK);
    }
    if (e == ECONNREFUSED || e == ENETUNREACH || e == EHOSTUNREACH || e == ETIMEDOUT) {
        // A non-blocking connect always answers "would block"; the outcome comes as FD_CONNECT.
        post(s, *k, FD_CONNECT, ErrorFromErrno(e));
        return fail(WSAEWOULDBLOCK);
    }
    return fail(ErrorFromErrno(e));
}

int send(SOCKET s, const char* buf, int len, int flags) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
    if (flags != 0) return fail(WSAEOPNOTSUPP);
    if (!k->connected && !k->connectPending) return fail(WSAENOTCONN); // Linux says EPIPE here
    const ssize_t n = ::send(k->fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n < 0) {
        const int e = errno;
        if (e == EAGAIN) k->writeArmed = true;
        return fail(ErrorFromErrno(e));
    }
    return static_cast<int>(n);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
    if (flags & ~kMsgPeek) return fail(WSAEOPNOTSUPP);
    const ssize_t n = ::recv(k->fd, buf, static_cast<size_t>(len), (flags & kMsgPeek) ? MSG_PEEK : 0);
    const int e = errno;
    rearmRead(s, *k);
    if (n < 0) return fail(ErrorFromErrno(e));
    if (n == 0 && len > 0 && k->storedError != 0) return fail(ErrorFromErrno(k->storedError));
    return static_cast<int>(n);
}

int closesocket(SOCKET s) {
    auto& socks = state().sockets;
    auto it = socks.find(s);
    if (it == socks.end()) return fail(WSAENOTSOCK);
    closeSock(*it->second);
    socks.erase(it);
    return 0;
}

int bind(SOCKET s, const sockaddr_in* name, int namelen) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (name == nullptr || namelen < 16) return fail(WSAEFAULT);
    ::sockaddr_in a{};
    a.sin_family = PF_INET;
    a.sin_port = name->sin_port;
    a.sin_addr.s_addr = name->sin_addr;
    if (::bind(k->fd, reinterpret_cast<::sockaddr*>(&a), sizeof a) != 0) return fail(ErrorFromErrno(errno));
    return 0;
}

int listen(SOCKET s, int backlog) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (::listen(k->fd, backlog) != 0) return fail(ErrorFromErrno(errno));
    k->listening = true;
    return 0;
}

SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen) {
    Sock* k = find(s);
    if (k == nullptr) {
        lastError = WSAENOTSOCK;
        return INVALID_SOCKET;
    }
    ::sockaddr_in a{};
    socklen_t alen = sizeof a;
    const int fd = ::accept4(k->fd, reinterpret_cast<::sockaddr*>(&a), &alen, SOCK_CLOEXEC);
    const int e = errno;
    k->acceptArmed = true;
    if (k->wnd != 0 && (k->mask & FD_ACCEPT)) {
        // More connections waiting: the original library posts FD_ACCEPT again.
        pollfd p{k->fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            k->acceptArmed = false;
            post(s, *k, FD_ACCEPT, 0);
        }
    }
    if (fd < 0) {
        lastError = ErrorFromErrno(e);
        return INVALID_SOCKET;
    }
    if (addr && addrlen && *addrlen >= 16) {
        *addr = sockaddr_in{};
        addr->sin_family = kAfInet;
        addr->sin_port = a.sin_port;
        addr->sin_addr = a.sin_addr.s_addr;
        *addrlen = 16;
    }
    const HWND wnd = k->wnd;
    const UINT msg = k->msg;
    const long mask = k->mask;
    const bool nb = k->nonBlocking;
    const SOCKET h = adopt(fd); // may rehash the table: k is not used after this
    if (h == INVALID_SOCKET) return h;
    find(h)->connected = true;
    // An accepted socket carries the listener's registration, as in the original library.
    if (nb) WSAAsyncSelect(h, wnd, msg, mask);
    return h;
}

int getsockname(SOCKET s, sockaddr_in* name, int* namelen) {
    Sock* k = find(s);
    if (k == nullptr) return fail(WSAENOTSOCK);
    if (name == nullptr || namelen == nullptr || *namelen < 16) return fail(WSAEFAULT);
    ::sockaddr_in a{};
    socklen_t alen = sizeof a;
    if (::getsockname(k->fd, reinterpret_cast<::sockaddr*>(&a), &alen) != 0) return fail(ErrorFromErrno(errno));
    *name = sockaddr_in{};
    name->sin_family = kAfInet;
    name->sin_port = a.sin_port;
    name->sin_addr = a.sin_addr.s_addr;
    *namelen = 16;
    return 0;
}

HostLookup SystemResolve(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = PF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    HostLookup answer;
    if (rc == 0) {
        for (addrinfo* p = res; p; p = p->ai_next) {
            if (p->ai_family == PF_INET)
                answer.addresses.push_back(reinterpret_cast<::sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
        }
        if (res && res->ai_canonname) answer.canonicalName = res->ai_canonname;
        ::freeaddrinfo(res);
    } else if (rc == EAI_AGAIN) {
        answer.error = WSATRY_AGAIN;
    } else if (rc == EAI_FAIL) {
        answer.error = WSANO_RECOVERY;
    } else if (rc == EAI_NODATA) {
        answer.error = WSANO_DATA;
    } else {
        answer.error = WSAHOST_NOT_FOUND;
    }
    return answer;
}

Resolver TableResolver(const std::string& table) {
    auto hosts = std::make_shared<std::map<std::string, uint32_t>>();
    size_t start = 0;
    while (start <= table.size()) {
        const size_t end = std::min(table.find(';', start), table.size());
        const std::string entry = table.substr(start, end - start);
        const size_t eq = entry.find('=');
        in_addr a{};
        if (eq != std::string::npos && eq > 0 && ::inet_aton(entry.c_str() + eq + 1, &a) != 0)
            (*hosts)[entry.substr(0, eq)] = a.s_addr;
        start = end + 1;
    }
    return [hosts](const std::string& name) {
        HostLookup answer;
        const auto it = hosts->find(name);
        if (it == hosts->end())
            answer.error = WSAHOST_NOT_FOUND;
        else
            answer.addresses.push_back(it->second);
        return answer;
    };
}

namespace {

Resolver& injectedResolver() {
    static Resolver* r = new Resolver; // never destroyed, like the rest of the state
    return *r;
}

Resolver currentResolver() {
    std::lock_guard lock(state().lookupMutex);
    Resolver r = injectedResolver();
    return r ? r : Resolver(SystemResolve);
}

} // namespace

Resolver SetResolver(Resolver resolver) {
    std::lock_guard lock(state().lookupMutex);
    Resolver previous = std::move(injectedResolver());
    injectedResolver() = std::move(resolver);
    return previous;
}

namespace {

// On the lookup's own thread: asks the resolver, keeps the first 35 distinct addresses
// and posts the answer to the requesting window's thread; if the window has gone, the
// answer is dropped with it.
void ResolveAndPost(const std::shared_ptr<Request>& req, const std::string& host, const Resolver& resolve) {
    HostLookup answer;
    try {
        answer = resolve(host);
    } catch (...) {
        answer = HostLookup{WSANO_RECOVERY, {}, {}}; // a failing name service is no reason to end the process
    }
    int error = answer.error;
    std::vector<uint32_t> addrs;
    for (uint32_t a : answer.addresses) {
        if (std::find(addrs.begin(), addrs.end(), a) == addrs.end() && addrs.size() < 35) addrs.push_back(a);
    }
    if (error == 0 && addrs.empty()) error = WSANO_DATA;
    std::string canonical = answer.canonicalName.empty() ? host : std::move(answer.canonicalName);
    PostCallback(req->wnd, [req, canonical = std::move(canonical), addrs = std::move(addrs), error]() mutable {
        completeLookup(req, std::move(canonical), std::move(addrs), error);
    });
}

} // namespace

HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen) {
    State& st = state();
    if (st.users == 0) {
        lastError = WSANOTINITIALISED;
        return 0;
    }
    // The entry is written in place, so the buffer must suit its pointers.
    if (name == nullptr || buf == nullptr || buflen <= 0 || reinterpret_cast<uintptr_t>(buf) % alignof(hostent) != 0) {
        lastError = WSAEFAULT;
        return 0;
    }
    if (!IsWindow(wnd)) {
        lastError = WSAEINVAL;
        return 0;
    }
    auto req = std::make_shared<Request>();
    req->wnd = wnd;
    req->msg = msg;
    req->buf = buf;
    req->buflen = buflen;
    {
        std::lock_guard lock(st.lookupMutex);
        req->id = st.nextLookup++;
        st.lookups[req->id] = req;
    }
    std::string host(name);
    Resolver resolve = currentResolver();
    try {
        std::thread([req, host, resolve = std::move(resolve)] { ResolveAndPost(req, host, resolve); }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(st.lookupMutex);
        st.lookups.erase(req->id);
        lastError = WSAENOBUFS;
        return 0;
    }
    return req->id;
}

int WSACancelAsyncRequest(HANDLE request) {
    State& st = state();
    std::lock_guard lock(st.lookupMutex);
    if (st.lookups.erase(request) == 0) return fail(WSAEINVAL);
    return 0;
}

uint32_t inet_addr(const char* cp) {
    if (cp == nullptr) return kInaddrNone;
    in_addr a{};
    if (::inet_aton(cp, &a) == 0) return kInaddrNone;
    return a.s_addr;
}

uint16_t(htons)(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
uint16_t(ntohs)(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

namespace diagnostics {
int StartupCalls() { return state().startupCalls; }
int CleanupCalls() { return state().cleanupCalls; }
int OpenSockets() { return static_cast<int>(state().sockets.size()); }
int PendingLookups() {
    State& st = state();
    std::lock_guard lock(st.lookupMutex);
    return static_cast<int>(st.lookups.size());
}
void FailNextSockets(int count, int error) {
    state().failSockets = count;
    state().failError = error;
}
int NativeHandle(SOCKET s) {
    Sock* k = find(s);
    return k ? k->fd : -1;
}
} // namespace diagnostics

} // namespace kelvo::winsock
