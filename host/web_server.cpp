#include "host/web_server.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "app/page_framework.h"
#include "app/pages.h"
#include "engine286/sync_unix.h"
#include "engine286/wwwapi.h"
#include "host/main_form.h"
#include "vorda/vorda_database.h"

struct WebServer::Impl {
    vordaDatabase& db;
    std::unique_ptr<HTTPapi> http;
    std::unique_ptr<QueueManager> queue;
    dbThread thread;
    bool running = false;

    explicit Impl(vordaDatabase& database) : db(database) {}

    static void run(void* arg)
    {
        static_cast<Impl*>(arg)->queue->start();
    }
};

namespace {
// Why a port cannot be listened on, for the log.
std::string reasonText(int error)
{
    switch (error) {
    case EADDRINUSE:
        return "這個 Port 已被其他程式使用";
    case EACCES:
        return "沒有權限使用這個 Port (1024 以下的 Port 需要管理員權限)";
    case EADDRNOTAVAIL:
        return "這部電腦沒有這個位址";
    default:
        if (error > 0) return std::strerror(error);
        return "網絡錯誤 (" + std::to_string(error) + ")";
    }
}
}  // namespace

WebServer::WebServer(vordaDatabase& db) : impl(std::make_unique<Impl>(db)) {}

WebServer::~WebServer()
{
    stop();
}

void WebServer::attach(TMainForm& form)
{
    // The login page is loaded by the start-up sequence before the server starts.
    (void)form;
}

bool WebServer::start(int port, std::string& error)
{
    if (impl->running) return true;
    setApplicationDatabase(&impl->db);
    impl->http = std::make_unique<HTTPapi>(&impl->db, applicationPageCount(), applicationPages());
    impl->http->setUtf8(true);
    impl->http->setProgramFolder(impl->db.programFolder);
    // Uploaded files are kept next to the program folder's files, so that a
    // page can move them there.
    impl->http->setUploadFolder(impl->db.programFolder);
    std::string address = "localhost:" + std::to_string(port);
    if (!impl->http->open(address.c_str())) {
        error = reasonText(impl->http->getOpenError());
        impl->http.reset();
        return false;
    }
    impl->queue = std::make_unique<QueueManager>(*impl->http, &impl->db);
    impl->thread.create(&Impl::run, impl.get());
    impl->running = true;
    return true;
}

int WebServer::port() const
{
    return impl->http != nullptr ? impl->http->getPort() : -1;
}

void WebServer::stop()
{
    if (!impl->running) return;
    impl->queue->stop();
    impl->thread.join();
    impl->running = false;
}
