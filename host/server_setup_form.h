#pragma once
// The server setup dialog's controls and results.

#include <string>

class TServerSetupForm {
public:
    enum Result { Cancel = 0, OK = 1, Yes = 2 };  // Yes: save and start the server

    std::string port = "80";  // the port as typed
    bool autoStart = false;
    bool startEnabled = true;  // the start action, only while the server is not running

    static constexpr const char* caption = "伺服器設定";
    static constexpr const char* note = "註: 如更改 Port 值, 需要重新執行系統.";
    static constexpr const char* portLabel = "網上伺服器Port:";
    static constexpr const char* autoStartLabel = "每次執行系統自動開啟伺服器";
    static constexpr const char* saveCaption = "儲存 F4";
    static constexpr const char* startCaption = "開啟伺服器 F5";
    static constexpr const char* cancelCaption = "取消 F12";
};
