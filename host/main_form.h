#pragma once
// The host's main logic: start-up, first-run seeding, the web server,
// the daily timer, the server setup exchange, help and the close sequence.

#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "host/host_ui.h"
#include "vorda/vorda_database.h"

// The product's database, constructed as the host needs it.
std::unique_ptr<vordaDatabase> makeHostDatabase();

// Milliseconds from `now` until one second after the next local midnight.
int64_t msUntilAfterMidnight(time_t now);

// The machine's IPv4 addresses joined by " 或 "; empty when the host name
// does not resolve.
std::string localAddressList();

// Text for the log when the server cannot listen.
std::string serverStartFailureText(int port, const std::string& reason);

class TMainForm {
public:
    TMainForm(vordaDatabase& db, HostUi& ui, ServerControl& server);

    // The clock (seconds); tests replace it.
    std::function<time_t()> clock = [] { return time(nullptr); };
    // Whether to open the browser when the server starts.
    bool openBrowser = true;
    // A port for this run only (0: the stored one).
    int portOverride = 0;

    // The start-up sequence; false when the program must end (the message
    // has been shown).
    bool FormShow();
    void startServer();
    void serverSetupButtonClick();
    void backupButtonClick();
    void helpButtonClick();
    // The close sequence; `ask` false skips the question (a service being
    // stopped). Returns false when the user cancelled.
    bool FormClose(bool ask = true);
    void backupTimerTimer();

    bool isServerStarted() const { return serverStarted; }
    int getServerPort() const { return serverPort; }
    const std::string& loginPage() const { return startPage; }
    vordaDatabase& database() { return db; }
    HostUi& userInterface() { return ui; }

    // The first-run records; public for tests.
    void seedDatabase();

private:
    vordaDatabase& db;
    HostUi& ui;
    ServerControl& server;
    int serverPort = 0;
    bool serverStarted = false;
    bool serverStopped = false;
    std::string startPage;  // login.htm
};
