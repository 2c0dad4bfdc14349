#include "host/main_form.h"

#include <netdb.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/pages.h"
#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/backup_form.h"
#include "host/server_setup_form.h"

namespace fs = std::filesystem;

std::unique_ptr<vordaDatabase> makeHostDatabase()
{
    linkApplicationTables();
    return std::make_unique<vordaDatabase>(dbDatabase::dbReadWrite, 1048576, 4194304, 65536, 1);
}

int64_t msUntilAfterMidnight(time_t now)
{
    std::tm parts;
    localtime_r(&now, &parts);
    parts.tm_hour = parts.tm_min = parts.tm_sec = 0;
    parts.tm_isdst = -1;
    time_t midnight = mktime(&parts);
    time_t next = midnight + 86400;
    return int64_t(next - now + 1) * 1000;
}

std::string localAddressList()
{
    char host[256];
    if (gethostname(host, sizeof host) != 0) return "";
    host[sizeof host - 1] = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0) return "";
    std::string text;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        char dotted[INET_ADDRSTRLEN];
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof dotted) == nullptr) continue;
        if (!text.empty()) text += " 或 ";
        text += dotted;
    }
    freeaddrinfo(list);
    return text;
}

std::string serverStartFailureText(int port, const std::string& reason)
{
    return "伺服器無法開啟 (Port " + std::to_string(port) + "): " + reason +
           ". 請按 [伺服器設定] 鈕更改 Port 後再開啟伺服器.";
}

TMainForm::TMainForm(vordaDatabase& database, HostUi& userInterface, ServerControl& serverControl)
    : db(database), ui(userInterface), server(serverControl)
{
}

bool TMainForm::FormShow()
{
    db.setAllowFieldRemoval(true);
    if (!db.open("Tarnwicke")) {
        ui.messageDialog("資料庫開啟錯誤.");
        return false;
    }
    if (db.getOpenCount() >= 2) {
        ui.messageDialog("資料庫不能同時開啟.");
        db.close();
        return false;
    }
    std::ifstream login(db.programFolder + "/login.htm", std::ios::binary);
    if (!login) {
        ui.messageDialog("找不到 login.htm 檔案.");
        db.close();
        return false;
    }
    std::ostringstream text;
    text << login.rdbuf();
    startPage = text.str();
    setLoginPageTemplate(startPage);

    {
        dbCursor<ServerSetup> setup;
        if (setup.selectAll() == 0) {
            seedDatabase();
            setup.selectAll();
        }
        serverPort = portOverride != 0 ? portOverride : setup->port;
        if (setup->autoStart) {
            startServer();
        } else {
            ui.appendLog("你現在可以按 [伺服器設定] 鈕設定和開始伺服器.");
        }
        dbCursor<LoginSession> sessions(dbCursorForUpdate);
        if (sessions.selectAll() != 0) sessions.removeAllSelected();
    }
    ui.appendLog("歡迎使用Vorda客戶管理系統 (網上版).");
    db.commit();
    {
        TBackupForm backup(db, ui, clock);
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        backup.runDailyBackup();
    }
    db.commit();
    ui.startTimer(msUntilAfterMidnight(clock()));
    return true;
}

void TMainForm::startServer()
{
    if (serverStarted) return;
    std::string error;
    if (!server.start(serverPort, error)) {
        ui.appendLog(serverStartFailureText(serverPort, error));
        return;
    }
    serverStarted = true;
    std::string address = "localhost:" + std::to_string(serverPort);
    if (openBrowser) ui.openUrl("http://" + address);
    ui.appendLog("");
    ui.appendLog("Vorda客戶管理系統 (網上版)伺服器已開啟, 你可以用Internet Explorer 輸入以下網站連接這個伺服器:");
    ui.appendLog("http://" + localAddressList());
    if (serverPort != 80) ui.appendLog("請在IP後面加上 Port, 例如 http://203.123.1.2:" + std::to_string(serverPort));
    ui.appendLog("");
}

namespace {
// A decimal integer as typed, or false.
bool parsePort(const std::string& text, long& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && !std::isspace(static_cast<unsigned char>(text[0]));
}
}  // namespace

void TMainForm::serverSetupButtonClick()
{
    TServerSetupForm form;
    form.startEnabled = !serverStarted;
    {
        dbCursor<ServerSetup> setup(dbCursorForUpdate);
        if (setup.selectAll() != 0) {
            form.port = std::to_string(setup->port);
            form.autoStart = setup->autoStart;
        }
        long current;
        if (parsePort(form.port, current)) serverPort = int(current);
    }
    db.commit();
    int result = ui.showServerSetup(form);
    if (result == TServerSetupForm::Cancel) return;
    long port;
    if (!parsePort(form.port, port)) {
        ui.messageDialog("'" + form.port + "' is not a valid integer value");
        return;
    }
    if (port < 1 || port > 65535) {
        ui.messageDialog("Port 值必須在 1 至 65535 之間.");
        return;
    }
    {
        dbCursor<ServerSetup> setup(dbCursorForUpdate);
        if (setup.selectAll() != 0) {
            setup->port = int32_t(port);
            setup->autoStart = form.autoStart;
            setup.update();
        }
    }
    db.commit();
    if (port != serverPort && serverStarted) ui.messageDialog("更改 Port 值後, 需要重新執行系統, 才會生效.");
    if (result == TServerSetupForm::Yes) startServer();
    serverPort = int(port);
}

void TMainForm::backupButtonClick()
{
    {
        TBackupForm form(db, ui, clock);
        ui.showBackupDialog(form);
    }
    db.commit();
}

void TMainForm::helpButtonClick()
{
    std::string page = db.programFolder + "/help/index.htm";
    std::error_code ec;
    if (fs::exists(page, ec)) ui.openUrl(page);
}

bool TMainForm::FormClose(bool ask)
{
    if (!db.isOpen()) return true;
    if (ask && !ui.confirmDialog("關閉系統?")) return false;
    if (!serverStopped) {
        server.stop();
        serverStopped = true;
    }
    db.commit();
    {
        TBackupForm backup(db, ui, clock);
        backup.runExitBackup();
    }
    db.commit();
    ui.showAbout();
    return true;
}

void TMainForm::backupTimerTimer()
{
    ui.startTimer(86400000);
    {
        TBackupForm backup(db, ui, clock);
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        backup.runDailyBackup();
    }
    db.commit();
}

// ---------------------------------------------------------------- first run

namespace {

// The company that makes and supports the program (its own first customer).
const char* vendorName = "雲杉資訊科技有限公司";
const char* vendorAddress = "香港九龍觀塘鴻圖道 57 號雲杉中心 18 樓";
const char* vendorPerson = "客戶服務部";
const char* vendorTelephone = "+852 2100 8001";
const char* vendorFax = "+852 2100 8002";
const char* vendorEmail = "service@yunshan.example";
const char* vendorWebsite = "http://www.yunshan.example";
const char* vendorRemark =
    "雲杉資訊科技有限公司專為中小型企業設計及支援商業軟件, 包括本客戶管理系統. "
    "本公司提供安裝, 培訓, 資料備份及系統維護服務, 如有任何查詢, 歡迎致電或電郵客戶服務部.";
const char* adminEmail = "admin@yunshan.example";

template <class T>
oid_t insertWithOid(T& record)
{
    oid_t oid = dbCursor<T>::insert(record);
    dbCursor<T> cursor(dbCursorForUpdate);
    cursor.at(oid);
    cursor->oid = int32_t(oid);
    cursor.update();
    return oid;
}

template <class T>
dbReference<T> insertClassification(const char* id, const char* name)
{
    T record;
    record.id = id;
    record.name = name;
    return dbReference<T>(insertWithOid(record));
}

}  // namespace

void TMainForm::seedDatabase()
{
    ServerSetup setup;
    setup.port = 8001;
    setup.autoStart = true;
    dbCursor<ServerSetup>::insert(setup);
    serverPort = portOverride != 0 ? portOverride : 8001;

    Customer vendor;
    vendor.id = "10000";
    vendor.name = vendorName;
    vendor.address = vendorAddress;
    vendor.person = vendorPerson;
    vendor.telephone = vendorTelephone;
    vendor.fax = vendorFax;
    vendor.email = vendorEmail;
    vendor.website = vendorWebsite;
    vendor.remark = vendorRemark;
    vendor.lastUpdate = vendor.createDate = dbDateTime(int32_t(clock()));

    Employee admin;
    admin.id = "admin";
    admin.password = "kwirt";
    admin.name = "Adminstrator";
    admin.hkid = "";
    admin.tel = "";
    admin.email = adminEmail;
    admin.remark = "";
    admin.permission = 32767;
    dbReference<Employee> adminRef(insertWithOid(admin));
    vendor.createdBy = vendor.modifiedBy = adminRef;

    BasicSetup basic;
    basic.row = 20;
    basic.customerCategory = "類別";
    basic.customerLevel = "級別";
    basic.customerArea = "地區";
    dbCursor<BasicSetup>::insert(basic);

    vendor.category = insertClassification<CustomerCategory>("100", "軟件");
    insertClassification<CustomerCategory>("101", "硬件");
    insertClassification<CustomerCategory>("102", "其他");

    insertClassification<CustomerLevel>("100", "咨詢");
    insertClassification<CustomerLevel>("101", "接觸");
    insertClassification<CustomerLevel>("102", "客戶");
    vendor.level = insertClassification<CustomerLevel>("102", "VIP");

    vendor.area = insertClassification<CustomerArea>("100", "香港");
    insertClassification<CustomerArea>("101", "台灣");
    insertClassification<CustomerArea>("102", "其他");

    insertWithOid(vendor);
}
