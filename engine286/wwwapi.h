#pragma once
// The embedded web server: the per-connection request and reply context
// (WWWconnection), the page dispatcher (WWWapi), HTTP/1.1 over it (HTTPapi)
// and the connection pool with its worker threads (QueueManager).
//
// How a program runs the server:
//
//     static const WWWpage pages[] = {{"", login}, {"login", login}, ...};
//     HTTPapi server(&db, std::size(pages), pages);
//     server.setUtf8(true);
//     server.setProgramFolder(programFolder);       // files are served from here
//     if (!server.open("localhost:8001")) { ...fail... }
//     QueueManager queue(server, &db);               // 8 workers, 1000 connections
//     queue.start();                                 // accept loop, until queue.stop()
//
// A page is a function `bool page(WWWconnection& con)` that reads request
// variables with con.get("name") and appends its reply with con.append(...):
// first the rest of its header lines and a blank line, then the body.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine286/sync_unix.h"
#include "engine286/unisock.h"

class dbDatabase;
class WWWconnection;

// The ELF string hash used for the variable table and the page table.
uint32_t stringHashFunction(const char* name);

typedef bool (*WWWpageFunction)(WWWconnection& con);

// One entry of the page table a program passes to the server.
struct WWWpage {
    const char* name;
    WWWpageFunction handler;
};

class WWWconnection {
public:
    enum { markup = 0, value = 1 };
    static constexpr size_t hashTableSize = 1013;
    static constexpr uint32_t initialReplyCapacity = 4096;

    WWWconnection();
    ~WWWconnection();
    WWWconnection(const WWWconnection&) = delete;
    WWWconnection& operator=(const WWWconnection&) = delete;

    // Forgets the reply and the variables of the previous request.
    void reset();

    // Makes room for n more bytes and counts them as written; returns the
    // buffer's start (the caller writes at the old reply length).
    char* reserve(size_t n);
    void appendBytes(const char* data, size_t n);
    void setMode(int newMode) { mode = char(newMode); }
    int getMode() const { return mode; }
    // Appends markup as it is or a value HTML-escaped, by the current mode,
    // and then switches to the other mode. A null text counts as empty.
    WWWconnection& append(const char* text);
    WWWconnection& appendNumber(int n);

    void addVariable(char* name, char* value);
    // The value of the last variable added with this name, or null.
    char* get(const char* name);
    // Decodes name=value pairs in place, adds them, returns get("page").
    // With keepExisting, a name that already has a value keeps it.
    char* parseVariables(char* data, size_t length, bool keepExisting = false);

    const char* getPeer() const { return peer; }
    const char* getReply() const { return reply; }
    uint32_t getReplyLength() const { return replyLength; }
    uint32_t getReplyCapacity() const { return replyCapacity; }
    socket_t* getSocket() const { return socket; }
    bool getUtf8() const { return utf8; }
    // Hands an accepted socket to the connection, deleting one it still holds.
    void setSocket(socket_t* s);

private:
    friend class WWWapi;
    friend class HTTPapi;
    friend class QueueManager;

    struct Variable {
        Variable* next;
        char* name;
        char* value;
        uint32_t hash;
    };

    void setPeer(char* text);

    socket_t* socket = nullptr;
    char* reply;
    uint32_t replyCapacity;
    uint32_t replyLength = 0;
    char* peer = nullptr;
    WWWconnection* next = nullptr;
    char mode = markup;
    Variable* variables[hashTableSize];
    Variable* freeVariables = nullptr;
    bool utf8 = false;

    // Kept by the server: whether this request's reply keeps the connection,
    // and when the wait for the current request head began (monotonic
    // milliseconds): its read time-out counts from there.
    bool keepAliveReply = false;
    int64_t acceptTime = 0;
    // Links of the queue's list of connections waiting for bytes.
    WWWconnection* parkedPrev = nullptr;
    WWWconnection* parkedNext = nullptr;
    bool parked = false;

    // A request still arriving: its head, or a body small enough to share
    // the head's buffer. A server run by the queue (mayPark) does not wait
    // for the rest of it: it keeps what came so far here, sets
    // waitingForInput and returns, and the queue hands the connection back
    // when more bytes arrive or its time runs out.
    std::unique_ptr<char[]> head;
    size_t headUsed = 0;
    bool laterRequest = false;  // a kept-alive connection past its first request
    bool mayPark = false;
    bool waitingForInput = false;
    void forgetHead();
};

class WWWapi {
public:
    static constexpr size_t pageTableSize = 113;

    WWWapi(dbDatabase* db, int nPages, const WWWpage* pages);
    virtual ~WWWapi();
    WWWapi(const WWWapi&) = delete;
    WWWapi& operator=(const WWWapi&) = delete;

    // Listens on "host:port" (port 0 takes a free port, see getPort).
    bool open(const char* address = "localhost:8001", socket_domain domain = sock_global_domain,
              int listenQueueSize = socket_t::DEFAULT_LISTEN_QUEUE_SIZE);
    // Waits for a client and hands its socket to the connection.
    bool connect(WWWconnection& con);
    // Makes a pending connect return false; callable from another thread.
    void cancel();
    void close();
    // Calls the page's function and commits the thread's transaction,
    // whatever the page did. True whether or not the page exists.
    bool dispatch(WWWconnection& con, const char* page);
    // Serves one accepted connection.
    virtual bool serve(WWWconnection& con) = 0;
    // How long a worker waits for a request; -1 without limit.
    virtual int getReadTimeout() const { return socket_t::WAIT_FOREVER; }

    // The port the server listens on, or -1 when it does not.
    int getPort() const;
    // Why the last open failed: an errno value, or a negative socket code.
    int getOpenError() const { return openError; }

protected:
    struct PageEntry {
        std::string name;
        WWWpageFunction handler;
        uint32_t hash;
        PageEntry* chain;
    };

    socket_t* sock = nullptr;
    std::atomic<bool> canceled{false};
    int openError = 0;
    std::string address;
    dbDatabase* db;
    PageEntry* pageTable[pageTableSize];
    std::vector<PageEntry> entries;
};

class HTTPapi : public WWWapi {
public:
    static constexpr size_t headBufferSize = 65536;
    static constexpr size_t defaultBodyBufferSize = 1048576;
    static constexpr int defaultReadTimeout = 30000;     // milliseconds
    static constexpr size_t defaultMaxBodyLength = 0x40000000;
    static constexpr int maxUploadedFiles = 64;           // file parts kept per request

    HTTPapi(dbDatabase* db, int nPages, const WWWpage* pages, bool keepAlive = false,
            int readTimeoutMs = defaultReadTimeout);
    ~HTTPapi() override;

    bool serve(WWWconnection& con) override;
    // Dispatches the page named by the query's variables and sends the reply.
    // True when the connection stays open for another request.
    bool handleRequest(WWWconnection& con, char* query, char* end);

    int getReadTimeout() const override { return readTimeout; }
    void setReadTimeout(int timeoutMs) { readTimeout = timeoutMs; }
    void setUtf8(bool on) { utf8 = on; }
    // The folder static files are served from (default: the current folder).
    void setProgramFolder(const std::string& folder);
    const std::string& getProgramFolder() const { return programFolder; }
    // The folder in which a private folder for uploaded files is created
    // (default: TMPDIR or /tmp).
    void setUploadFolder(const std::string& folder);
    void setMaxBodyLength(size_t length) { maxBodyLength = length; }
    // The buffer a body is read into: url-encoded bodies must fit in it,
    // multipart bodies are streamed through it (at least 256 bytes).
    void setBodyBufferSize(size_t size) { bodyBuffer = size < 256 ? 256 : size; }

    // The Content-Type served for a file name, or null when such files are
    // not served.
    static const char* contentTypeOf(const std::string& fileName);

private:
    struct Request;
    enum class BodyResult { ok, closed, timedOut, tooLarge };
    enum class Gathered { complete, waiting, closed, timedOut };

    bool handleRequest(WWWconnection& con, char* query, char* end, Request* req);
    BodyResult readBody(WWWconnection& con, Request& req, char* head, size_t headEnd, size_t used,
                        size_t length, const char* contentType, size_t contentTypeLength, size_t& consumed);
    BodyResult readMultipart(WWWconnection& con, Request& req, char* buffer, size_t capacity, size_t used,
                             size_t remaining, const std::string& boundary);
    // Fills the buffer with body bytes; false with `result` set on failure.
    bool fillBody(WWWconnection& con, char* buffer, size_t& used, size_t capacity, size_t& remaining,
                  BodyResult& result);
    // Reads into the buffer up to `end` within the request's time-out; stops
    // with `waiting` where a queue-run connection would have to wait.
    Gathered gatherBody(WWWconnection& con, char* buffer, size_t& used, size_t end, int64_t started);
    // Keeps the request read so far in the connection and marks it for the
    // queue to hand back when more arrives or its time runs out.
    static void waitForMore(WWWconnection& con, size_t used, bool firstRequest, int64_t started);
    bool serveFile(WWWconnection& con, const char* path, size_t pathLength, bool& keepOpen);
    // Opens the file a decoded request path names when it lies inside the
    // program folder and may be served; -1 when it may not.
    int openServable(const std::string& decodedPath, const char*& contentType);
    void sendError(WWWconnection& con, const char* status);
    void closeConnection(WWWconnection& con, bool unreadInput = false);
    std::string privateUploadFolder();

    int readTimeout;
    bool keepAlive;
    bool utf8 = false;
    size_t maxBodyLength = defaultMaxBodyLength;
    size_t bodyBuffer = defaultBodyBufferSize;
    std::string programFolder;      // as resolved by realpath
    int rootFd = -1;                // the program folder, opened for lookups
    std::string uploadBase;
    std::string uploadFolder;       // created on the first upload
    std::mutex uploadFolderMutex;
};

// A counting semaphore that wakes one waiter per unit, so that handing a
// connection over wakes one worker rather than all of them.
class WorkSemaphore {
public:
    void signal(unsigned n = 1)
    {
        {
            std::lock_guard<std::mutex> guard(mutex);
            count += n;
        }
        if (n == 1) {
            ready.notify_one();
        } else {
            ready.notify_all();
        }
    }
    // Releases `outer` while waiting for a unit and takes it again.
    void wait(dbMutex& outer)
    {
        outer.unlock();
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [this] { return count > 0; });
            count -= 1;
        }
        outer.lock();
    }

private:
    std::mutex mutex;
    std::condition_variable ready;
    unsigned count = 0;
};

class QueueManager {
public:
    QueueManager(WWWapi& server, dbDatabase* db, int nThreads = 8, int connectionQueueLen = 1000);
    // Stops the queue and waits for its threads. The thread running start()
    // must have returned from it first.
    ~QueueManager();
    QueueManager(const QueueManager&) = delete;
    QueueManager& operator=(const QueueManager&) = delete;

    // The accept loop: runs in the calling thread until stop().
    void start();
    // Stops accepting and ends the workers after their current connection.
    void stop();

private:
    static void handleThread(void* arg);
    static void watchThread(void* arg);
    void handle();
    void watch();
    void park(WWWconnection* con);
    void unpark(WWWconnection* con);
    void enqueue(WWWconnection* con);
    void release(WWWconnection* con);

    std::unique_ptr<WWWconnection[]> connections;
    WWWconnection* freeList = nullptr;
    WWWconnection* waitList = nullptr;
    dbMutex mutex;
    WorkSemaphore go;
    dbLocalEvent done;
    std::unique_ptr<dbThread[]> threads;
    int nThreads;
    WWWapi* server;
    dbDatabase* db;
    WWWconnection* waitListTail = nullptr;

    // Accepted connections wait here, oldest first, until their first bytes
    // arrive, so that idle clients never hold a worker.
    WWWconnection* parkedHead = nullptr;
    WWWconnection* parkedTail = nullptr;
    int epollFd = -1;
    int wakeFd = -1;
    dbThread watcher;
    int readTimeout;
};
