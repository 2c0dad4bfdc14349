// The program: opens the database in the program folder, starts the web
// server and runs the desktop window when a display is there, else the
// console (or a service without a terminal).

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "host/console_ui.h"
#include "host/main_form.h"
#include "host/web_server.h"
#ifdef TARNWICKE_WITH_QT
#include "host/qt/qt_host.h"
#endif

namespace {

const char* usageText =
    "用法: tarnwicke [--folder 資料夾] [--port N] [--no-browser] [--console | --gui]\n"
    "  --folder DIR   程式資料夾 (資料庫, login.htm, 網頁檔案和備份); 預設為目前的資料夾\n"
    "  --port N       這次執行使用 Port N (不會儲存)\n"
    "  --no-browser   不開啟瀏覽器\n"
    "  --console      使用文字介面, 不開啟視窗\n"
    "  --gui          開啟視窗; 沒有顯示器時結束\n"
    "  --help         顯示這個說明\n";

enum class FrontEnd { automatic, console, window };

struct Options {
    std::string folder;
    int port = 0;
    bool browser = true;
    FrontEnd front = FrontEnd::automatic;
};

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usageText;
            std::exit(0);
        } else if (arg == "--folder" && i + 1 < argc) {
            options.folder = argv[++i];
        } else if (arg == "--port" && i + 1 < argc) {
            char* end = nullptr;
            long port = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 1 || port > 65535) {
                std::cerr << "Port 值必須在 1 至 65535 之間.\n";
                return false;
            }
            options.port = int(port);
        } else if (arg == "--no-browser") {
            options.browser = false;
        } else if (arg == "--console") {
            options.front = FrontEnd::console;
        } else if (arg == "--gui") {
            options.front = FrontEnd::window;
        } else {
            std::cerr << usageText;
            return false;
        }
    }
    return true;
}

// The window when asked for, or by default when a display is there and Qt
// can open it; otherwise the console. False in `ok` when the window was asked
// for and cannot be had.
bool chooseWindow(FrontEnd front, bool& ok)
{
    ok = true;
#ifdef TARNWICKE_WITH_QT
    if (front == FrontEnd::console) return false;
    if (front == FrontEnd::automatic) return displayAvailable() && windowCanOpen();
    if (windowCanOpen()) return true;
    std::cerr << "無法開啟視窗: 沒有可用的顯示器.\n";
#else
    if (front != FrontEnd::window) return false;
    std::cerr << "這個程式沒有視窗介面 (建置時沒有 Qt 6).\n";
#endif
    ok = false;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) return 2;
    if (!options.folder.empty() && chdir(options.folder.c_str()) != 0) {
        std::cerr << "找不到程式資料夾: " << options.folder << " (" << std::strerror(errno) << ")\n";
        return 1;
    }
    // SIGTERM and SIGINT end the program through the close sequence.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    bool frontOk = true;
    bool window = chooseWindow(options.front, frontOk);
    if (!frontOk) return 1;
#ifdef TARNWICKE_WITH_QT
    if (window) {
        std::unique_ptr<vordaDatabase> db = makeHostDatabase();
        WebServer server(*db);
        return runWindowHost(argc, argv, signalFd, [&](HostUi& ui) {
            auto form = std::make_unique<TMainForm>(*db, ui, server);
            server.attach(*form);
            form->portOverride = options.port;
            form->openBrowser = options.browser;
            return form;
        });
    }
#else
    (void)window;
#endif

    bool interactive = isatty(0) != 0;
    ConsoleUi ui(std::cin, std::cout, interactive, options.browser && displayAvailable());
    std::unique_ptr<vordaDatabase> db = makeHostDatabase();
    WebServer server(*db);
    TMainForm form(*db, ui, server);
    server.attach(form);
    form.portOverride = options.port;
    form.openBrowser = options.browser && displayAvailable();
    if (!form.FormShow()) return 1;

    for (;;) {
        ui.printMenu();
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {0, POLLIN, 0}};
        int nfds = ui.isInteractive() ? 2 : 1;
        int64_t wait = ui.timerRemainingMs();
        int rc = poll(fds, nfds_t(nfds), wait < 0 ? -1 : int(std::min<int64_t>(wait, 3600000)));
        if (rc < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (rc == 0) {
            if (ui.timerRemainingMs() == 0) {
                ui.timerFired();
                form.backupTimerTimer();
            }
            continue;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) < 0) continue;
            form.FormClose(false);
            return 0;
        }
        if (nfds == 2 && (fds[1].revents & (POLLIN | POLLHUP))) {
            std::string line;
            if (!std::getline(std::cin, line)) {
                ui.inputClosed();  // keep running as a service until a signal
                continue;
            }
            if (line == "1") {
                form.serverSetupButtonClick();
            } else if (line == "2") {
                form.backupButtonClick();
            } else if (line == "3") {
                form.helpButtonClick();
            } else if (line == "4") {
                if (form.FormClose(true)) return 0;
            }
        }
    }
    return 0;
}
