#pragma once
// Process-local and machine-wide synchronisation wrappers.
//
// Machine-wide objects belong to a "name space" formed from a database name
// and a hash of the database file's absolute path (see sharedObjectKey). Their
// lifetime follows the processes that use them: every process that has the
// database open holds a shared lock on a lock file of the name space; the
// first opener (the one that finds no such lock) removes whatever an earlier,
// crashed run left behind and creates every object afresh, and the last
// process to close removes them.

#include <pthread.h>
#include <semaphore.h>
#include <cstddef>
#include <cstdint>
#include <string>

// Wait without limit.
constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

// The name space key of a database: its name (characters unsafe in object
// names replaced) plus a short hash of the database file's absolute path, so
// that two different files never share objects and one file always does.
std::string sharedObjectKey(const char* dbName, const char* fileName);

// Stops the program with the text of a broken invariant.
[[noreturn]] void brokenInvariant(const char* condition, const char* file, int line);
#define DB_ASSERT(cond) ((cond) ? (void)0 : ::brokenInvariant(#cond, __FILE__, __LINE__))

// A process-local recursive mutex. Lock and unlock do nothing once the mutex
// has been destroyed, so late use during shutdown is harmless.
class dbMutex {
public:
    dbMutex();
    ~dbMutex();
    dbMutex(const dbMutex&) = delete;
    dbMutex& operator=(const dbMutex&) = delete;
    void lock();
    void unlock();
    pthread_mutex_t* native() { return &cs; }

private:
    pthread_mutex_t cs;
    bool initialized;
};

// Scoped holder of a dbMutex.
class dbCriticalSection {
public:
    explicit dbCriticalSection(dbMutex& m) : mutex(m) { mutex.lock(); }
    ~dbCriticalSection() { mutex.unlock(); }
    dbCriticalSection(const dbCriticalSection&) = delete;
    dbCriticalSection& operator=(const dbCriticalSection&) = delete;

private:
    dbMutex& mutex;
};

class dbThread {
public:
    using thread_proc_t = void (*)(void*);
    dbThread() = default;
    ~dbThread();
    dbThread(const dbThread&) = delete;
    dbThread& operator=(const dbThread&) = delete;
    void create(thread_proc_t f, void* arg);
    void join();
    bool isStarted() const { return started; }
    static uint32_t currentThreadId();

private:
    pthread_t thread{};
    bool started = false;
};

// Unnamed manual-reset event, initially not signalled.
class dbLocalEvent {
public:
    dbLocalEvent();
    ~dbLocalEvent();
    void open() { reset(); }
    void signal();
    void reset();
    bool wait(uint32_t milliseconds);  // true when signalled, false on timeout
    void wait(dbMutex& mutex);         // unlocks mutex, waits, locks it again
    void close() {}

private:
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled = false;
};

// Unnamed counting semaphore, initial count 0.
class dbLocalSemaphore {
public:
    dbLocalSemaphore();
    ~dbLocalSemaphore();
    void open() {}
    void signal(unsigned n = 1);
    bool wait(uint32_t milliseconds);
    void wait(dbMutex& mutex);
    void close() {}

private:
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    unsigned count = 0;
};

// Machine-wide counting semaphore, initial count 0.
class dbSemaphore {
public:
    dbSemaphore() = default;
    ~dbSemaphore() { close(); }
    dbSemaphore(const dbSemaphore&) = delete;
    dbSemaphore& operator=(const dbSemaphore&) = delete;
    bool open(const char* name);
    bool wait(uint32_t milliseconds = INFINITE_WAIT);
    void signal(unsigned n = 1);
    void drain();
    void close();
    static bool remove(const char* name);

private:
    sem_t* sem = nullptr;
};

// Machine-wide manual-reset event, initially not signalled.
class dbEvent {
public:
    dbEvent() = default;
    ~dbEvent() { close(); }
    dbEvent(const dbEvent&) = delete;
    dbEvent& operator=(const dbEvent&) = delete;
    bool open(const char* name);
    bool wait(uint32_t milliseconds = INFINITE_WAIT);
    void signal();
    void reset();
    void close();

private:
    struct Shared;
    Shared* shared = nullptr;
};

// A block of machine-wide shared memory.
class dbSharedMemory {
public:
    dbSharedMemory() = default;
    ~dbSharedMemory() { close(); }
    dbSharedMemory(const dbSharedMemory&) = delete;
    dbSharedMemory& operator=(const dbSharedMemory&) = delete;
    bool open(const char* name, size_t size);  // creates it zero-filled when missing
    void* get() const { return addr; }
    void close();

private:
    void* addr = nullptr;
    size_t size = 0;
};

// Cross-process critical section: a counter in shared memory (1 free, 0 held,
// -n held with n waiters) and a machine-wide semaphore to wait on.
class GlobalCriticalSection {
public:
    bool create(const char* name, int32_t* count);
    bool open(const char* name, int32_t* count);
    void enter();
    void leave();
    void close();

private:
    dbSemaphore event;
    int32_t* count = nullptr;
};

class GlobalCriticalSectionLock {
public:
    explicit GlobalCriticalSectionLock(GlobalCriticalSection& cs) : section(cs) { section.enter(); }
    ~GlobalCriticalSectionLock() { section.leave(); }
    GlobalCriticalSectionLock(const GlobalCriticalSectionLock&) = delete;
    GlobalCriticalSectionLock& operator=(const GlobalCriticalSectionLock&) = delete;

private:
    GlobalCriticalSection& section;
};

// Serialises the openers of one name space and tells the first one that it
// must create the shared objects. It also keeps the caller registered as a
// user of the name space until close().
class InitializationMutex {
public:
    enum initializationStatus { InitializationError, NotYetInitialized, AlreadyInitialized };
    ~InitializationMutex() { close(); }
    // `key` is the name space key; the objects of the name space are named
    // "/<key>.<suffix>".
    initializationStatus initialize(const char* key);
    void done();   // the first opener has created the shared objects
    void close();  // leaves the name space; the last user removes its objects

private:
    int lockFile(const std::string& path);
    std::string key;
    int initFd = -1;
    int openFd = -1;
    bool initializing = false;
};

// Removes every machine-wide object of a name space (not its lock files).
void removeSharedObjects(const std::string& key);

// Per-thread pointer slot.
template <class T>
class dbThreadContext {
public:
    dbThreadContext()
    {
        int rc = pthread_key_create(&key, nullptr);
        DB_ASSERT(rc == 0);
    }
    ~dbThreadContext() { pthread_key_delete(key); }
    dbThreadContext(const dbThreadContext&) = delete;
    dbThreadContext& operator=(const dbThreadContext&) = delete;
    T* get() { return static_cast<T*>(pthread_getspecific(key)); }
    void set(T* value) { pthread_setspecific(key, value); }

private:
    pthread_key_t key;
};

