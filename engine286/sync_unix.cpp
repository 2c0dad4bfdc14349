#include "engine286/sync_unix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace {

constexpr const char* shmFolder = "/dev/shm/";

timespec deadlineAfter(clockid_t clock, uint32_t milliseconds)
{
    timespec ts;
    clock_gettime(clock, &ts);
    ts.tv_sec += milliseconds / 1000;
    ts.tv_nsec += long(milliseconds % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

void initMonotonicCond(pthread_cond_t* cond, bool shared)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (shared) pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

// Waits on cond until pred() holds or the time is up; returns pred().
template <class Pred>
bool timedCondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, uint32_t milliseconds, Pred pred)
{
    if (milliseconds == INFINITE_WAIT) {
        while (!pred()) pthread_cond_wait(cond, mutex);
        return true;
    }
    timespec deadline = deadlineAfter(CLOCK_MONOTONIC, milliseconds);
    while (!pred()) {
        int rc = pthread_cond_timedwait(cond, mutex, &deadline);
        if (rc == ETIMEDOUT) return pred();
        DB_ASSERT(rc == 0 || rc == EINTR);
    }
    return true;
}

uint64_t fnv1a(const std::string& text)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

std::string sharedObjectKey(const char* dbName, const char* fileName)
{
    std::string key;
    for (const char* p = dbName; *p; ++p) {
        char c = *p;
        key += (c == '/' || c == '\\' || c == ' ' || c < ' ') ? '_' : c;
    }
    std::error_code ec;
    std::filesystem::path path(fileName);
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) absolute = path;
    // Resolve the folder (the file itself may not exist yet) so that every
    // way of naming the same file gives the same key.
    std::filesystem::path folder = std::filesystem::weakly_canonical(absolute.parent_path(), ec);
    if (!ec) absolute = folder / absolute.filename();
    char hash[20];
    std::snprintf(hash, sizeof hash, "@%08x", unsigned(fnv1a(absolute.string()) & 0xFFFFFFFFu));
    return key + hash;
}

void brokenInvariant(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
    std::fflush(stderr);
    std::abort();
}

// ---- dbMutex ----

dbMutex::dbMutex()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs, &attr);
    pthread_mutexattr_destroy(&attr);
    initialized = true;
}

dbMutex::~dbMutex()
{
    initialized = false;
    pthread_mutex_destroy(&cs);
}

void dbMutex::lock()
{
    if (initialized) pthread_mutex_lock(&cs);
}

void dbMutex::unlock()
{
    if (initialized) pthread_mutex_unlock(&cs);
}

// ---- dbThread ----

namespace {
struct ThreadStart {
    dbThread::thread_proc_t f;
    void* arg;
};
void* threadTrampoline(void* p)
{
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.f(start.arg);
    return nullptr;
}
}  // namespace

dbThread::~dbThread()
{
    if (started) pthread_detach(thread);
}

void dbThread::create(thread_proc_t f, void* arg)
{
    auto* start = new ThreadStart{f, arg};
    int rc = pthread_create(&thread, nullptr, threadTrampoline, start);
    DB_ASSERT(rc == 0);
    started = true;
}

void dbThread::join()
{
    if (started) {
        pthread_join(thread, nullptr);
        started = false;
    }
}

uint32_t dbThread::currentThreadId()
{
    return uint32_t(gettid());
}

// ---- local event and semaphore ----

dbLocalEvent::dbLocalEvent()
{
    pthread_mutex_init(&mutex, nullptr);
    initMonotonicCond(&cond, false);
}

dbLocalEvent::~dbLocalEvent()
{
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
}

void dbLocalEvent::signal()
{
    pthread_mutex_lock(&mutex);
    signalled = true;
    pthread_cond_broadcast(&cond);
    pthread_mutex_unlock(&mutex);
}

void dbLocalEvent::reset()
{
    pthread_mutex_lock(&mutex);
    signalled = false;
    pthread_mutex_unlock(&mutex);
}

bool dbLocalEvent::wait(uint32_t milliseconds)
{
    pthread_mutex_lock(&mutex);
    bool ok = timedCondWait(&cond, &mutex, milliseconds, [this] { return signalled; });
    pthread_mutex_unlock(&mutex);
    return ok;
}

void dbLocalEvent::wait(dbMutex& outer)
{
    outer.unlock();
    wait(INFINITE_WAIT);
    outer.lock();
}

dbLocalSemaphore::dbLocalSemaphore()
{
    pthread_mutex_init(&mutex, nullptr);
    initMonotonicCond(&cond, false);
}

dbLocalSemaphore::~dbLocalSemaphore()
{
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
}

void dbLocalSemaphore::signal(unsigned n)
{
    if (n == 0) return;
    pthread_mutex_lock(&mutex);
    count += n;
    pthread_cond_broadcast(&cond);
    pthread_mutex_unlock(&mutex);
}

bool dbLocalSemaphore::wait(uint32_t milliseconds)
{
    pthread_mutex_lock(&mutex);
    bool ok = timedCondWait(&cond, &mutex, milliseconds, [this] { return count > 0; });
    if (ok) count -= 1;
    pthread_mutex_unlock(&mutex);
    return ok;
}

void dbLocalSemaphore::wait(dbMutex& outer)
{
    outer.unlock();
    wait(INFINITE_WAIT);
    outer.lock();
}

// ---- named semaphore ----

bool dbSemaphore::open(const char* name)
{
    close();
    sem_t* s = sem_open(name, O_CREAT, 0600, 0);
    if (s == SEM_FAILED) return false;
    sem = s;
    return true;
}

bool dbSemaphore::wait(uint32_t milliseconds)
{
    if (milliseconds == INFINITE_WAIT) {
        while (sem_wait(sem) != 0) DB_ASSERT(errno == EINTR);
        return true;
    }
    timespec deadline = deadlineAfter(CLOCK_MONOTONIC, milliseconds);
    while (sem_clockwait(sem, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno == ETIMEDOUT) return false;
        DB_ASSERT(errno == EINTR);
    }
    return true;
}

void dbSemaphore::signal(unsigned n)
{
    while (n-- > 0) sem_post(sem);
}

void dbSemaphore::drain()
{
    while (sem_trywait(sem) == 0) {
    }
}

void dbSemaphore::close()
{
    if (sem != nullptr) {
        sem_close(sem);
        sem = nullptr;
    }
}

bool dbSemaphore::remove(const char* name)
{
    return sem_unlink(name) == 0;
}

// ---- shared memory ----

bool dbSharedMemory::open(const char* name, size_t length)
{
    close();
    int fd = shm_open(name, O_RDWR | O_CREAT, 0600);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || (size_t(st.st_size) < length && ftruncate(fd, off_t(length)) != 0)) {
        ::close(fd);
        return false;
    }
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return false;
    addr = p;
    size = length;
    return true;
}

void dbSharedMemory::close()
{
    if (addr != nullptr) {
        munmap(addr, size);
        addr = nullptr;
    }
}

// ---- named event ----

struct dbEvent::Shared {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int32_t signalled;
    int32_t ready;
};

namespace {
// Locks a robust process-shared mutex, taking it over when its owner died.
void lockRobust(pthread_mutex_t* m)
{
    int rc = pthread_mutex_lock(m);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(m);
}
}  // namespace

bool dbEvent::open(const char* name)
{
    close();
    // Create exclusively to know whether this process must set it up.
    bool created = true;
    int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = shm_open(name, O_RDWR, 0600);
    }
    if (fd < 0) return false;
    if (created && ftruncate(fd, sizeof(Shared)) != 0) {
        ::close(fd);
        return false;
    }
    void* p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return false;
    shared = static_cast<Shared*>(p);
    if (created) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&shared->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        initMonotonicCond(&shared->cond, true);
        shared->signalled = 0;
        __atomic_store_n(&shared->ready, 1, __ATOMIC_RELEASE);
    } else {
        // The creator sets the object up right after creating it.
        while (__atomic_load_n(&shared->ready, __ATOMIC_ACQUIRE) == 0) usleep(100);
    }
    return true;
}

bool dbEvent::wait(uint32_t milliseconds)
{
    lockRobust(&shared->mutex);
    bool ok = timedCondWait(&shared->cond, &shared->mutex, milliseconds,
                            [this] { return shared->signalled != 0; });
    pthread_mutex_unlock(&shared->mutex);
    return ok;
}

void dbEvent::signal()
{
    lockRobust(&shared->mutex);
    shared->signalled = 1;
    pthread_cond_broadcast(&shared->cond);
    pthread_mutex_unlock(&shared->mutex);
}

void dbEvent::reset()
{
    lockRobust(&shared->mutex);
    shared->signalled = 0;
    pthread_mutex_unlock(&shared->mutex);
}

void dbEvent::close()
{
    if (shared != nullptr) {
        munmap(shared, sizeof(Shared));
        shared = nullptr;
    }
}

// ---- cross-process critical section ----

bool GlobalCriticalSection::create(const char* name, int32_t* counter)
{
    count = counter;
    __atomic_store_n(count, 1, __ATOMIC_SEQ_CST);
    dbSemaphore::remove(name);
    return event.open(name);
}

bool GlobalCriticalSection::open(const char* name, int32_t* counter)
{
    count = counter;
    return event.open(name);
}

void GlobalCriticalSection::enter()
{
    if (__atomic_sub_fetch(count, 1, __ATOMIC_SEQ_CST) != 0) event.wait(INFINITE_WAIT);
}

void GlobalCriticalSection::leave()
{
    if (__atomic_add_fetch(count, 1, __ATOMIC_SEQ_CST) <= 0) event.signal(1);
}

void GlobalCriticalSection::close()
{
    event.close();
    count = nullptr;
}

// ---- initialisation mutex and name space lifetime ----

void removeSharedObjects(const std::string& key)
{
    DIR* dir = opendir(shmFolder);
    if (dir == nullptr) return;
    std::string objectPrefix = key + ".";
    std::string semPrefix = "sem." + key + ".";
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.rfind(objectPrefix, 0) == 0) {
            std::string suffix = name.substr(objectPrefix.size());
            if (suffix != "lock" && suffix != "users") shm_unlink(("/" + name).c_str());
        } else if (name.rfind(semPrefix, 0) == 0) {
            sem_unlink(("/" + name.substr(4)).c_str());
        }
    }
    closedir(dir);
}

// Opens and exclusively locks a lock file, making sure the locked file is
// still the one under that path (a closing process may remove it).
int InitializationMutex::lockFile(const std::string& path)
{
    for (;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd);
                return -1;
            }
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            return fd;
        ::close(fd);
    }
}

InitializationMutex::initializationStatus InitializationMutex::initialize(const char* k)
{
    close();
    key = k;
    initFd = lockFile(shmFolder + key + ".lock");
    if (initFd < 0) return InitializationError;
    openFd = ::open((shmFolder + key + ".users").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (openFd < 0) {
        ::close(initFd);
        initFd = -1;
        return InitializationError;
    }
    if (flock(openFd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody else uses the name space: start from a clean slate. The
        // init lock stays held until done().
        removeSharedObjects(key);
        initializing = true;
        return NotYetInitialized;
    }
    // Others use it; join them. Nobody holds the users lock exclusively
    // while we hold the init lock, so this does not block.
    flock(openFd, LOCK_SH);
    flock(initFd, LOCK_UN);
    ::close(initFd);
    initFd = -1;
    return AlreadyInitialized;
}

void InitializationMutex::done()
{
    if (!initializing) return;
    initializing = false;
    flock(openFd, LOCK_SH);  // others are kept out by the init lock meanwhile
    flock(initFd, LOCK_UN);
    ::close(initFd);
    initFd = -1;
}

void InitializationMutex::close()
{
    if (openFd < 0) return;
    if (initFd < 0) initFd = lockFile(shmFolder + key + ".lock");
    if (initFd >= 0 && flock(openFd, LOCK_EX | LOCK_NB) == 0) {
        // The last user removes the name space's objects and lock files.
        removeSharedObjects(key);
        unlink((shmFolder + key + ".users").c_str());
        unlink((shmFolder + key + ".lock").c_str());
    }
    ::close(openFd);
    openFd = -1;
    if (initFd >= 0) {
        ::close(initFd);
        initFd = -1;
    }
    initializing = false;
}
