#include "host/web_server.h"

struct WebServer::Impl {};

WebServer::WebServer(vordaDatabase&) : impl(std::make_unique<Impl>()) {}
void WebServer::attach(TMainForm&) {}
WebServer::~WebServer() = default;

bool WebServer::start(int, std::string& error)
{
    error = "網頁伺服器尚未提供";
    return false;
}

void WebServer::stop() {}
