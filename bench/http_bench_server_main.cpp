// A small web server for load measurements: serves the files of a folder
// and two pages ("" answers like a login page, "hello" is a trivial page) on
// 127.0.0.1 at the given port, until SIGINT or SIGTERM.
//
// Usage: http_bench_server PORT FOLDER [WORKERS]

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "engine286/wwwapi.h"

namespace {

bool loginPage(WWWconnection& con)
{
    con.append("Content-type: text/html\r\n\r\n");
    con.setMode(WWWconnection::markup);
    con.append("<html><body>login</body></html>");
    return true;
}

bool helloPage(WWWconnection& con)
{
    con.append("Content-type: text/html\r\n\r\n");
    con.setMode(WWWconnection::markup);
    con.append("<html><body><p>Hello, ").append(con.get("name")).append("</p></body></html>");
    return true;
}

const WWWpage pages[] = {{"", loginPage}, {"hello", helloPage}};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT FOLDER [WORKERS]\n", argv[0]);
        return 2;
    }
    int workers = argc > 3 ? std::atoi(argv[3]) : 8;

    // Signals are taken by one thread that stops the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    HTTPapi server(nullptr, int(std::size(pages)), pages);
    server.setUtf8(true);
    server.setProgramFolder(argv[2]);
    std::string address = std::string("127.0.0.1:") + argv[1];
    if (!server.open(address.c_str())) {
        std::fputs("Failed to open WWW session\n", stderr);
        return 1;
    }
    QueueManager queue(server, nullptr, workers);
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        queue.stop();
    });
    std::printf("listening on %s\n", address.c_str());
    std::fflush(stdout);
    queue.start();
    pthread_kill(stopper.native_handle(), SIGTERM);  // ends the stopper if the loop ended by itself
    stopper.join();
    return 0;
}
