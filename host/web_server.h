#pragma once
// The embedded web server run for the host: the application's pages over
// HTTP on one port, with the worker threads of the connection queue.

#include <memory>
#include <string>

#include "host/host_ui.h"

class TMainForm;

class vordaDatabase;

class WebServer : public ServerControl {
public:
    explicit WebServer(vordaDatabase& db);
    // The main form supplies the login page; set before the server starts.
    void attach(TMainForm& form);
    ~WebServer() override;
    bool start(int port, std::string& error) override;
    void stop() override;
    // The port listened on (-1 when not running); start(0) takes a free one.
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
