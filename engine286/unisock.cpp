#include "engine286/unisock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <thread>

namespace {

constexpr size_t maxHostLength = 256;
constexpr int lingerSeconds = 10;
constexpr int listenSendBufferSize = 1048576;

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until `fd` is ready for `events` or the time runs out. Returns 1 when
// ready, 0 on time-out, -1 on error (errno set).
int waitFor(int fd, short events, int timeoutMs)
{
    int64_t deadline = timeoutMs < 0 ? 0 : nowMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            int64_t left = deadline - nowMs();
            wait = left > 0 ? int(left) : 0;
        }
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, wait);
        if (rc >= 0) return rc > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

bool setOption(int fd, int level, int name, const void* value, socklen_t size)
{
    return ::setsockopt(fd, level, name, value, size) == 0;
}

}  // namespace

// ---------------------------------------------------------------- factories

socket_t* socket_t::createGlobal(const char* address, int listenQueueSize)
{
    auto* s = new unix_socket(address);
    s->open(listenQueueSize);
    return s;
}

socket_t* socket_t::connect(const char* address, socket_domain, int maxAttempts, int timeBetweenAttempts)
{
    // Every domain is served by TCP.
    auto* s = new unix_socket(address);
    s->connect(maxAttempts, timeBetweenAttempts);
    return s;
}

// ---------------------------------------------------------------- unix_socket

unix_socket::unix_socket(const char* addr)
{
    if (addr != nullptr) {
        size_t n = std::strlen(addr) + 1;
        address = new char[n];
        std::memcpy(address, addr, n);
    }
}

unix_socket::unix_socket(int acceptedFd) : errorCode(ok), fd(acceptedFd)
{
    state = ss_open;
}

unix_socket::~unix_socket()
{
    close();
    if (cancelFd >= 0) ::close(cancelFd);
    delete[] address;
}

bool unix_socket::splitAddress(char* host, size_t hostSize, uint16_t& port)
{
    if (address == nullptr) return false;
    const char* colon = std::strchr(address, ':');
    if (colon == nullptr) return false;
    size_t hostLength = size_t(colon - address);
    if (hostLength >= maxHostLength || hostLength >= hostSize) return false;
    const char* p = colon + 1;
    if (*p < '0' || *p > '9') return false;
    unsigned long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + unsigned(*p - '0');
        if (value > 65535) return false;
    }
    if (*p != '\0') return false;
    std::memcpy(host, address, hostLength);
    host[hostLength] = '\0';
    port = uint16_t(value);
    return true;
}

namespace {

// Resolves an IPv4 host name; the caller frees the list with freeaddrinfo.
addrinfo* resolve(const char* host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0) return nullptr;
    return result;
}

}  // namespace

bool unix_socket::open(int listenQueueSize)
{
    char host[maxHostLength];
    uint16_t port;
    if (!splitAddress(host, sizeof host, port)) {
        errorCode = bad_address;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (host[0] == '\0' || strcasecmp(host, "localhost") == 0) {
        // Reachable from the other machines of the network too.
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    } else {
        addrinfo* list = resolve(host);
        if (list == nullptr) {
            errorCode = bad_address;
            return false;
        }
        local.sin_addr = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
        freeaddrinfo(list);
    }
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        errorCode = errno;
        return false;
    }
    cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int on = 1;
    if (cancelFd < 0 || !setOption(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on)
        || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
        || ::listen(fd, listenQueueSize) != 0) {
        errorCode = errno;
        ::close(fd);
        fd = -1;
        return false;
    }
    // Options accepted sockets take over from the listening one: closing
    // waits up to 10 s for unsent data, small replies go out at once, and
    // a large send buffer. The buffer size is a wish; the others must hold.
    linger l{1, lingerSeconds};
    if (!setOption(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l)
        || !setOption(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on)) {
        errorCode = errno;
        ::close(fd);
        fd = -1;
        return false;
    }
    int sendBuffer = listenSendBufferSize;
    setOption(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    errorCode = ok;
    state = ss_open;
    return true;
}

bool unix_socket::connect(int maxAttempts, int timeBetweenAttempts)
{
    char host[maxHostLength];
    uint16_t port;
    if (!splitAddress(host, sizeof host, port)) {
        errorCode = bad_address;
        return false;
    }
    addrinfo* list = resolve(host);
    if (list == nullptr) {
        errorCode = bad_address;
        return false;
    }
    for (int attempt = 1;; attempt++) {
        for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
            sockaddr_in peer = *reinterpret_cast<sockaddr_in*>(a->ai_addr);
            peer.sin_port = htons(port);
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                errorCode = errno;
                freeaddrinfo(list);
                return false;
            }
            int rc;
            do {
                rc = ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
            } while (rc != 0 && errno == EINTR);
            if (rc == 0) {
                int on = 1;
                if (!setOption(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on)) {
                    errorCode = errno;
                    ::close(fd);
                    fd = -1;
                    freeaddrinfo(list);
                    return false;
                }
                freeaddrinfo(list);
                errorCode = ok;
                state = ss_open;
                return true;
            }
            errorCode = errno;
            ::close(fd);
            fd = -1;
            if (errorCode != ECONNREFUSED) {
                freeaddrinfo(list);
                return false;
            }
        }
        if (attempt >= maxAttempts) break;
        if (timeBetweenAttempts > 0) std::this_thread::sleep_for(std::chrono::seconds(timeBetweenAttempts));
    }
    freeaddrinfo(list);
    errorCode = connection_failed;
    return false;
}

int unix_socket::read(void* buffer, size_t minSize, size_t maxSize, int timeoutMs)
{
    if (state != ss_open) {
        errorCode = not_opened;
        return -1;
    }
    if (minSize > maxSize) minSize = maxSize;
    char* dst = static_cast<char*>(buffer);
    size_t received = 0;
    int64_t deadline = timeoutMs < 0 ? 0 : nowMs() + timeoutMs;
    while (received < maxSize) {
        // With a time-out, take what is there first and wait only when
        // nothing is.
        ssize_t n = ::recv(fd, dst + received, maxSize - received, timeoutMs >= 0 ? MSG_DONTWAIT : 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (timeoutMs >= 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                int64_t left = deadline - nowMs();
                int rc = waitFor(fd, POLLIN, left > 0 ? int(left) : 0);
                if (rc < 0) {
                    errorCode = errno;
                    return -1;
                }
                if (rc == 0) {
                    errorCode = ok;
                    return int(received);
                }
                continue;
            }
            errorCode = errno;
            return -1;
        }
        if (n == 0) {
            errorCode = broken_pipe;
            return -1;
        }
        received += size_t(n);
        if (received >= minSize) break;
    }
    errorCode = ok;
    return int(received);
}

bool unix_socket::write(const void* buffer, size_t size)
{
    if (state != ss_open) {
        errorCode = not_opened;
        return false;
    }
    const char* src = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t n = ::send(fd, src, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            // EAGAIN here means the write time-out expired.
            errorCode = (errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno;
            return false;
        }
        if (n == 0) {
            errorCode = broken_pipe;
            return false;
        }
        src += n;
        size -= size_t(n);
    }
    errorCode = ok;
    return true;
}

bool unix_socket::readString(char* buffer, size_t size, int timeoutMs)
{
    int64_t deadline = timeoutMs < 0 ? 0 : nowMs() + timeoutMs;
    for (size_t i = 0; i < size; i++) {
        int left = -1;
        if (timeoutMs >= 0) {
            int64_t l = deadline - nowMs();
            left = l > 0 ? int(l) : 0;
        }
        int n = read(buffer + i, 1, 1, left);
        if (n < 0) return false;
        if (n == 0) return false;  // the time ran out
        if (buffer[i] == '\0') return true;
    }
    return false;
}

bool unix_socket::writeString(const char* text)
{
    return write(text, std::strlen(text) + 1);
}

void unix_socket::errorText(char* buffer, size_t size)
{
    if (size == 0) return;
    char scratch[128];
    const char* msg;
    switch (errorCode) {
    case ok: msg = "ok"; break;
    case not_opened: msg = "socket not opened"; break;
    case bad_address: msg = "bad address"; break;
    case connection_failed: msg = "exceed limit of attempts of connection to server"; break;
    case broken_pipe: msg = "connection is broken"; break;
    default:
        msg = strerror_r(errorCode, scratch, sizeof scratch);
        if (msg == nullptr || std::strncmp(msg, "Unknown error", 13) == 0) {
            std::snprintf(scratch, sizeof scratch, "unknown error code %u", unsigned(errorCode));
            msg = scratch;
        }
        break;
    }
    std::snprintf(buffer, size, "%s", msg);
}

socket_t* unix_socket::accept()
{
    if (state != ss_open || cancelFd < 0) {
        errorCode = not_opened;
        return nullptr;
    }
    for (;;) {
        if (cancelled) {
            errorCode = ECANCELED;
            return nullptr;
        }
        // Take a waiting connection at once; wait only when there is none.
        sockaddr_in peer{};
        socklen_t peerSize = sizeof peer;
        int s = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize, SOCK_CLOEXEC);
        if (s < 0) {
            switch (errno) {
            case EAGAIN:
#if EAGAIN != EWOULDBLOCK
            case EWOULDBLOCK:
#endif
            {
                pollfd p[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
                if (::poll(p, 2, -1) < 0 && errno != EINTR) {
                    errorCode = errno;
                    return nullptr;
                }
                if (p[1].revents != 0) cancelled = true;
                continue;
            }
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                continue;  // the client went away before we took it
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM: {
                // Out of descriptors or memory for now: wait a little, still
                // listening for a cancel, and try again.
                pollfd c{cancelFd, POLLIN, 0};
                ::poll(&c, 1, 100);
                continue;
            }
            default:
                errorCode = errno;
                return nullptr;
            }
        }
        // Linger, no send coalescing, the send buffer size and the write
        // time-out come from the listening socket.
        errorCode = ok;
        auto* accepted = new unix_socket(s);
        if (peer.sin_family == AF_INET) accepted->peerAddress = peer.sin_addr.s_addr;
        return accepted;
    }
}

bool unix_socket::cancelAccept()
{
    if (cancelFd < 0) {
        errorCode = not_opened;
        return false;
    }
    cancelled = true;
    uint64_t one = 1;
    // The listening socket stays open until its owner closes it: closing it
    // here would race with the descriptor use in the accepting thread.
    ssize_t n = ::write(cancelFd, &one, sizeof one);
    (void)n;
    errorCode = ok;
    return true;
}

bool unix_socket::shutdown()
{
    if (state == ss_open) {
        state = ss_shutdown;
        if (::shutdown(fd, SHUT_RDWR) != 0) {
            errorCode = errno;
            return false;
        }
    }
    errorCode = ok;
    return true;
}

bool unix_socket::close()
{
    if (state == ss_close) return true;
    state = ss_close;
    int rc = ::close(fd);
    fd = -1;
    if (rc != 0 && errno != EINTR) {
        errorCode = errno;
        return false;
    }
    errorCode = ok;
    return true;
}

char* unix_socket::peerName()
{
    if (state != ss_open) {
        errorCode = not_opened;
        return nullptr;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = peerAddress;
    socklen_t size = sizeof peer;
    if (peerAddress == 0 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
        errorCode = errno;
        return nullptr;
    }
    char text[INET_ADDRSTRLEN];
    if (peer.sin_family != AF_INET || ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr) {
        errorCode = EAFNOSUPPORT;
        return nullptr;
    }
    size_t n = std::strlen(text) + 1;
    char* copy = new char[n];
    std::memcpy(copy, text, n);
    errorCode = ok;
    return copy;
}

int unix_socket::localPort()
{
    if (fd < 0) return -1;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return -1;
    return ntohs(local.sin_port);
}

void unix_socket::setWriteTimeout(int timeoutMs)
{
    if (fd < 0) return;
    timeval tv{};
    if (timeoutMs > 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
    }
    setOption(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
