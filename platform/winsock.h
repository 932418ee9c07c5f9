// Windows Sockets 1.1 emulation over non-blocking POSIX sockets, with WinSock names, constants and error numbers.
//
// Notifications follow the original library: WSAAsyncSelect posts (wParam = socket,
// lParam = MAKELPARAM(event, error)) to a message window. After FD_READ no further
// FD_READ is posted until the program calls recv (with or without MSG_PEEK); if data
// is still waiting after that recv, FD_READ is posted again. FD_ACCEPT likewise waits
// for accept. FD_CONNECT and FD_CLOSE are posted once. FD_WRITE is posted after a
// connect and whenever room comes back after a send answered WSAEWOULDBLOCK.
// Everything except the lookup's worker thread runs on the GUI thread.
#pragma once

#include "platform/message_window.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The POSIX headers define some of these names as macros; keep them out of the
// declarations whatever the order of inclusion.
#pragma push_macro("AF_INET")
#undef AF_INET
#pragma push_macro("SOCK_STREAM")
#undef SOCK_STREAM
#pragma push_macro("IPPROTO_TCP")
#undef IPPROTO_TCP
#pragma push_macro("SOL_SOCKET")
#undef SOL_SOCKET
#pragma push_macro("SO_LINGER")
#undef SO_LINGER
#pragma push_macro("TCP_NODELAY")
#undef TCP_NODELAY
#pragma push_macro("MSG_PEEK")
#undef MSG_PEEK
#pragma push_macro("INADDR_NONE")
#undef INADDR_NONE
#pragma push_macro("INADDR_ANY")
#undef INADDR_ANY
#pragma push_macro("htons")
#undef htons
#pragma push_macro("ntohs")
#undef ntohs

namespace kelvo::winsock {

using SOCKET = uint32_t;
using HANDLE = uintptr_t;
constexpr SOCKET INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_LINGER = 0x80;
constexpr int TCP_NODELAY = 1;
constexpr int MSG_PEEK = 2;
constexpr uint32_t INADDR_NONE = 0xFFFFFFFFu;
constexpr uint32_t INADDR_ANY = 0;

constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_OOB = 4;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;

constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The 16-byte IPv4 address of the original library; fields in network order.
struct sockaddr_in {
    uint16_t sin_family = 0;
    uint16_t sin_port = 0;
    uint32_t sin_addr = 0;
    char sin_zero[8] = {};
};
static_assert(sizeof(sockaddr_in) == 16);

struct linger {
    uint16_t l_onoff = 0;
    uint16_t l_linger = 0;
};

// The host entry written into the caller's buffer by WSAAsyncGetHostByName.
struct hostent {
    char* h_name;
    char** h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char** h_addr_list;
};

struct WSADATA {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
};

int WSAStartup(uint16_t versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events);
int connect(SOCKET s, const sockaddr_in* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int closesocket(SOCKET s);
int bind(SOCKET s, const sockaddr_in* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen);
int getsockname(SOCKET s, sockaddr_in* name, int* namelen);

// Starts a lookup of an IPv4 address on a worker thread and returns its handle
// (0 on failure, with the error set; buf must be aligned for hostent). The host entry is written into buf on the
// GUI thread just before msg is posted with wParam = handle and
// lParam = MAKELPARAM(length needed, error). After WSACancelAsyncRequest, or once
// the window is gone, the buffer is never touched and nothing is posted.
HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen);
int WSACancelAsyncRequest(HANDLE request);

// What the name service behind WSAAsyncGetHostByName answers: error 0 with at least
// one IPv4 address (network order), or a WinSock error (WSAHOST_NOT_FOUND, WSATRY_AGAIN,
// WSANO_RECOVERY, WSANO_DATA).
struct HostLookup {
    int error = 0;
    std::vector<uint32_t> addresses;
    std::string canonicalName; // empty: the name asked for
};
// Runs on the lookup's worker thread, so it may block; it must be safe to call from
// any thread.
using Resolver = std::function<HostLookup(const std::string& name)>;
// Replaces the name service for lookups started from now on and returns the previous
// one; an empty function restores the default, getaddrinfo. The installed program
// reads no host table from its environment: only the program that the end-to-end
// tests run has one (platform/test_host_table.cpp).
Resolver SetResolver(Resolver resolver);
// The answer of getaddrinfo for IPv4 addresses.
HostLookup SystemResolve(const std::string& name);
// A resolver that knows only the names of `table` ("name=a.b.c.d;..."; entries that do
// not parse are left out).
Resolver TableResolver(const std::string& table);

uint32_t inet_addr(const char* cp);
uint16_t(htons)(uint16_t v);
uint16_t(ntohs)(uint16_t v);

// The WinSock number for a POSIX errno value (WSAEINVAL-like fallbacks for the rest).
int ErrorFromErrno(int err);

// Observation and fault injection for tests; not part of the original interface.
namespace diagnostics {
int StartupCalls();
int CleanupCalls();
int OpenSockets();
int PendingLookups();
// The next `count` socket() calls fail with `error`.
void FailNextSockets(int count, int error);
// The POSIX descriptor behind a socket, or -1.
int NativeHandle(SOCKET s);
} // namespace diagnostics

} // namespace kelvo::winsock

#pragma pop_macro("AF_INET")
#pragma pop_macro("SOCK_STREAM")
#pragma pop_macro("IPPROTO_TCP")
#pragma pop_macro("TCP_NODELAY")
#pragma pop_macro("SOL_SOCKET")
#pragma pop_macro("SO_LINGER")
#pragma pop_macro("MSG_PEEK")
#pragma pop_macro("INADDR_NONE")
#pragma pop_macro("INADDR_ANY")
#pragma pop_macro("htons")
#pragma pop_macro("ntohs")
