#pragma once
// The socket layer of the web server: an abstract socket that keeps its last
// error instead of throwing, and its TCP implementation over BSD sockets.
//
// Time-outs are given in milliseconds; WAIT_FOREVER (-1) waits without limit.

#include <atomic>
#include <cstddef>
#include <cstdint>

enum socket_domain {
    sock_any_domain = 0,     // whatever the address asks for: TCP here
    sock_local_domain = 1,   // reserved; this system serves TCP only
    sock_global_domain = 2   // TCP over IPv4
};

class socket_t {
public:
    static constexpr int WAIT_FOREVER = -1;
    // Deep enough that a burst of connections is not dropped and retried a
    // second later by the clients.
    static constexpr int DEFAULT_LISTEN_QUEUE_SIZE = 128;
    static constexpr int DEFAULT_CONNECT_MAX_ATTEMPTS = 100;
    static constexpr int DEFAULT_RECONNECT_TIMEOUT = 1;  // seconds between attempts

    enum socketState { ss_open = 0, ss_shutdown = 1, ss_close = 2 };

    // Receives bytes up to and including a zero byte (at most `size` bytes).
    // With a time-out, false without error when the time runs out.
    virtual bool readString(char* buffer, size_t size, int timeoutMs = WAIT_FOREVER) = 0;
    // Sends the text including its terminating zero byte.
    virtual bool writeString(const char* text) = 0;
    // Receives at least minSize and at most maxSize bytes. Returns the number
    // of bytes received (fewer than minSize, possibly 0, when the time-out
    // expired), or -1 on error.
    virtual int read(void* buffer, size_t minSize, size_t maxSize, int timeoutMs = WAIT_FOREVER) = 0;
    // Sends all `size` bytes.
    virtual bool write(const void* buffer, size_t size) = 0;
    virtual bool isOk() = 0;
    // The text of the last error, cut to `size` bytes including the zero byte.
    virtual void errorText(char* buffer, size_t size) = 0;
    // Waits for a connection; null on error or after cancelAccept.
    virtual socket_t* accept() = 0;
    // Makes a blocked accept (and every later one) return null; callable
    // from another thread.
    virtual bool cancelAccept() = 0;
    virtual bool shutdown() = 0;
    virtual bool close() = 0;
    // The peer's IPv4 address in dotted form, allocated with new[] and owned
    // by the caller; null on error.
    virtual char* peerName() = 0;
    virtual int socketHandle() = 0;
    // The local port the socket is bound to, or -1.
    virtual int localPort() = 0;
    // Gives up a write that cannot progress for this long. Set on a
    // listening socket, it holds for the sockets accepted from it.
    virtual void setWriteTimeout(int timeoutMs) = 0;
    virtual ~socket_t() = default;

    // Creates a socket listening on "host:port" (an empty host or
    // "localhost" means every interface). Returned even when opening failed:
    // check isOk().
    static socket_t* createGlobal(const char* address, int listenQueueSize = DEFAULT_LISTEN_QUEUE_SIZE);
    // Connects to "host:port". Returned even when connecting failed.
    static socket_t* connect(const char* address, socket_domain domain = sock_any_domain,
                             int maxAttempts = DEFAULT_CONNECT_MAX_ATTEMPTS,
                             int timeBetweenAttempts = DEFAULT_RECONNECT_TIMEOUT);

protected:
    int state = ss_close;
};

class unix_socket : public socket_t {
public:
    enum errorCodes {
        ok = 0,
        not_opened = -1,
        bad_address = -2,
        connection_failed = -3,
        broken_pipe = -4
    };

    explicit unix_socket(const char* address);
    ~unix_socket() override;
    unix_socket(const unix_socket&) = delete;
    unix_socket& operator=(const unix_socket&) = delete;

    bool open(int listenQueueSize);
    bool connect(int maxAttempts, int timeBetweenAttempts);

    bool readString(char* buffer, size_t size, int timeoutMs = WAIT_FOREVER) override;
    bool writeString(const char* text) override;
    int read(void* buffer, size_t minSize, size_t maxSize, int timeoutMs = WAIT_FOREVER) override;
    bool write(const void* buffer, size_t size) override;
    bool isOk() override { return errorCode == ok; }
    void errorText(char* buffer, size_t size) override;
    socket_t* accept() override;
    bool cancelAccept() override;
    bool shutdown() override;
    bool close() override;
    char* peerName() override;
    int socketHandle() override { return fd; }
    int localPort() override;
    void setWriteTimeout(int timeoutMs) override;

    int getErrorCode() const { return errorCode; }

private:
    explicit unix_socket(int acceptedFd);
    bool splitAddress(char* host, size_t hostSize, uint16_t& port);

    int errorCode = not_opened;
    char* address = nullptr;  // owned; null for accepted sockets
    int fd = -1;
    int cancelFd = -1;        // eventfd of a listening socket, signalled by cancelAccept
    std::atomic<bool> cancelled{false};
    uint32_t peerAddress = 0;  // of an accepted socket, as accept told it
};
