// QueueManager: the accept loop, a fixed pool of connection objects and the
// worker threads that serve them.
//
// An accepted connection waits in the parked list until bytes arrive (or
// its read time-out expires), watched by one thread with epoll; only then is
// it queued for a worker. A worker that finds a request head incomplete
// hands the connection back to the parked list with what came so far, and
// so does one whose kept-alive connection waits for its next request. So
// idle and slow clients occupy pool objects but never workers.

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "engine286/database.h"
#include "engine286/wwwapi.h"

namespace {

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

QueueManager::QueueManager(WWWapi& srv, dbDatabase* database, int nThreads, int connectionQueueLen)
    : nThreads(nThreads), server(&srv), db(database), readTimeout(srv.getReadTimeout())
{
    DB_ASSERT(nThreads >= 1 && connectionQueueLen >= 1);
    connections.reset(new WWWconnection[size_t(connectionQueueLen)]);
    for (int i = connectionQueueLen; --i >= 0;) {
        connections[size_t(i)].next = freeList;
        freeList = &connections[size_t(i)];
    }
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    DB_ASSERT(epollFd >= 0 && wakeFd >= 0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    int rc = ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev);
    DB_ASSERT(rc == 0);
    threads.reset(new dbThread[size_t(nThreads)]);
    for (int i = 0; i < nThreads; i++) threads[size_t(i)].create(handleThread, this);
    watcher.create(watchThread, this);
}

QueueManager::~QueueManager()
{
    stop();
    for (int i = 0; i < nThreads; i++) threads[size_t(i)].join();
    watcher.join();
    ::close(epollFd);
    ::close(wakeFd);
}

void QueueManager::handleThread(void* arg)
{
    static_cast<QueueManager*>(arg)->handle();
}

void QueueManager::watchThread(void* arg)
{
    static_cast<QueueManager*>(arg)->watch();
}

void QueueManager::start()
{
    mutex.lock();
    while (server != nullptr) {
        if (freeList == nullptr) {
            done.reset();
            done.wait(mutex);
            if (server == nullptr) break;
            if (freeList == nullptr) continue;
        }
        WWWconnection* con = freeList;
        freeList = con->next;
        WWWapi* srv = server;
        mutex.unlock();
        bool accepted = srv->connect(*con);
        mutex.lock();
        if (!accepted || server == nullptr) {
            release(con);
            break;
        }
        con->acceptTime = nowMs();
        con->mayPark = true;
        park(con);
    }
    mutex.unlock();
}

void QueueManager::handle()
{
    if (db != nullptr) db->attach();
    mutex.lock();
    for (;;) {
        go.wait(mutex);
        if (server == nullptr) break;
        WWWconnection* con = waitList;
        DB_ASSERT(con != nullptr);
        waitList = con->next;
        if (waitList == nullptr) waitListTail = nullptr;
        WWWapi* srv = server;
        mutex.unlock();
        bool ok = true;
        try {
            ok = srv->serve(*con);
        } catch (...) {
            // Out of memory while serving: drop this client, keep serving.
            con->waitingForInput = false;
            con->setSocket(nullptr);
        }
        if (!ok) stop();
        mutex.lock();
        if (con->waitingForInput && server != nullptr) {
            park(con);
        } else {
            release(con);
        }
    }
    mutex.unlock();
    if (db != nullptr) db->detach();
}

void QueueManager::stop()
{
    mutex.lock();
    if (server == nullptr) {
        mutex.unlock();
        return;
    }
    WWWapi* srv = server;
    server = nullptr;
    srv->cancel();
    go.signal(unsigned(nThreads));
    done.signal();
    uint64_t one = 1;
    ssize_t n = ::write(wakeFd, &one, sizeof one);
    (void)n;
    mutex.unlock();
}

// The following helpers run with the mutex held.

void QueueManager::release(WWWconnection* con)
{
    con->forgetHead();
    con->setSocket(nullptr);
    if (freeList == nullptr) done.signal();
    con->next = freeList;
    freeList = con;
}

void QueueManager::enqueue(WWWconnection* con)
{
    con->next = nullptr;
    if (waitListTail != nullptr) {
        waitListTail->next = con;
    } else {
        waitList = con;
    }
    waitListTail = con;
    go.signal();
}

void QueueManager::park(WWWconnection* con)
{
    // Most clients send their request right after connecting.
    pollfd ready{con->socket->socketHandle(), POLLIN, 0};
    if (::poll(&ready, 1, 0) > 0) {
        enqueue(con);
        return;
    }
    // The list stays ordered by the start of each wait, so that the watcher
    // finds the next time-out at its head. New connections go to the end; a
    // returning one may have started waiting earlier.
    WWWconnection* before = parkedTail;
    while (before != nullptr && before->acceptTime > con->acceptTime) before = before->parkedPrev;
    bool newHead = before == nullptr;
    con->parked = true;
    con->parkedPrev = before;
    con->parkedNext = before != nullptr ? before->parkedNext : parkedHead;
    if (con->parkedNext != nullptr) {
        con->parkedNext->parkedPrev = con;
    } else {
        parkedTail = con;
    }
    if (before != nullptr) {
        before->parkedNext = con;
    } else {
        parkedHead = con;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.ptr = con;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, con->socket->socketHandle(), &ev) != 0) {
        // Cannot watch it: let a worker wait for it instead.
        unpark(con);
        con->mayPark = false;
        enqueue(con);
        return;
    }
    if (newHead) {
        // The watcher may be waiting for a later time-out or none.
        uint64_t one = 1;
        ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;
    }
}

void QueueManager::unpark(WWWconnection* con)
{
    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, con->socket->socketHandle(), nullptr);
    if (con->parkedPrev != nullptr) {
        con->parkedPrev->parkedNext = con->parkedNext;
    } else {
        parkedHead = con->parkedNext;
    }
    if (con->parkedNext != nullptr) {
        con->parkedNext->parkedPrev = con->parkedPrev;
    } else {
        parkedTail = con->parkedPrev;
    }
    con->parkedPrev = con->parkedNext = nullptr;
    con->parked = false;
}

void QueueManager::watch()
{
    epoll_event events[64];
    for (;;) {
        int timeout = -1;
        mutex.lock();
        if (server == nullptr) {
            mutex.unlock();
            break;
        }
        if (parkedHead != nullptr && readTimeout >= 0) {
            int64_t left = parkedHead->acceptTime + readTimeout - nowMs();
            timeout = left > 0 ? int(left) : 0;
        }
        mutex.unlock();

        int n = ::epoll_wait(epollFd, events, 64, timeout);

        mutex.lock();
        if (server == nullptr) {
            mutex.unlock();
            break;
        }
        for (int i = 0; i < n; i++) {
            auto* con = static_cast<WWWconnection*>(events[i].data.ptr);
            if (con == nullptr) {
                uint64_t count;
                ssize_t r = ::read(wakeFd, &count, sizeof count);
                (void)r;
            } else if (con->parked) {
                unpark(con);
                enqueue(con);
            }
        }
        // Connections whose time ran out go to a worker, which answers them
        // at once: their read time is over.
        if (readTimeout >= 0) {
            int64_t now = nowMs();
            while (parkedHead != nullptr && parkedHead->acceptTime + readTimeout <= now) {
                WWWconnection* con = parkedHead;
                unpark(con);
                enqueue(con);
            }
        }
        mutex.unlock();
    }
}
