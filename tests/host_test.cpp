// The host's logic: start-up, first-run seeding, server control, the daily
// timer, automatic and manual backups, restore and the close sequence.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/backup_form.h"
#include "host/main_form.h"
#include "host/server_setup_form.h"
#include "support/fake_ui.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& text)
{
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// Runs the host in a fresh program folder (the current directory).
class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = fs::current_path();
        fs::current_path(dir.path());
        writeFile(dir.file("login.htm"), "<html>login</html>");
        setenv("TZ", "Asia/Hong_Kong", 1);
        tzset();
    }
    void TearDown() override
    {
        stop();
        fs::current_path(saved);
        unsetenv("TZ");
        tzset();
    }
    // Starts the host; `day` is the day (from 2024-03-01) its clock shows.
    bool start(int day = 0, int hour = 10)
    {
        ui = std::make_unique<FakeUi>();
        server = std::make_unique<FakeServer>();
        db = makeHostDatabase();
        form = std::make_unique<TMainForm>(*db, *ui, *server);
        now = dbDateTime(2024, 3, 1 + day, hour, 0, 0).stamp;
        form->clock = [this] { return time_t(now); };
        return form->FormShow();
    }
    void stop()
    {
        if (form && db->isOpen()) db->close();
        form.reset();
        db.reset();
    }
    std::vector<std::string> backupsIn(const std::string& folder)
    {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(folder))
            if (e.path().extension() == ".zrb") names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    void setBackupOptions(void (*change)(BackupRecord&))
    {
        dbCursor<BackupRecord> c(dbCursorForUpdate);
        ASSERT_EQ(c.selectAll(), 1u);
        change(*c.get());
        c.update();
        db->commit();
    }

    TempDir dir;
    fs::path saved;
    time_t now = 0;
    std::unique_ptr<FakeUi> ui;
    std::unique_ptr<FakeServer> server;
    std::unique_ptr<vordaDatabase> db;
    std::unique_ptr<TMainForm> form;
};

TEST_F(HostTest, FirstRunSeedsExactlyTheDefaultRecordsAndStartsTheServer)
{
    ASSERT_TRUE(start());
    EXPECT_EQ(server->started, std::vector<int>{8001});
    EXPECT_TRUE(form->isServerStarted());
    EXPECT_EQ(ui->opened, std::vector<std::string>{"http://localhost:8001"});
    EXPECT_EQ(form->loginPage(), "<html>login</html>");

    dbCursor<ServerSetup> setup;
    ASSERT_EQ(setup.selectAll(), 1u);
    EXPECT_EQ(setup->port, 8001);
    EXPECT_TRUE(setup->autoStart);
    dbCursor<Employee> employees;
    ASSERT_EQ(employees.selectAll(), 1u);
    EXPECT_STREQ(employees->id, "admin");
    EXPECT_STREQ(employees->password, "kwirt");
    EXPECT_STREQ(employees->name, "Adminstrator");
    EXPECT_EQ(employees->permission, 32767);
    EXPECT_EQ(oid_t(employees->oid), employees.getOid());
    oid_t admin = employees.getOid();
    dbCursor<BasicSetup> basic;
    ASSERT_EQ(basic.selectAll(), 1u);
    EXPECT_EQ(basic->row, 20);
    EXPECT_STREQ(basic->customerCategory, "類別");
    EXPECT_STREQ(basic->customerLevel, "級別");
    EXPECT_STREQ(basic->customerArea, "地區");

    auto names = [](auto& cursor) {
        std::vector<std::string> out;
        if (cursor.selectAll() == 0) return out;
        do {
            EXPECT_EQ(oid_t(cursor->oid), cursor.getOid());
            out.push_back(std::string(cursor->id) + " " + cursor->name);
        } while (cursor.next());
        return out;
    };
    dbCursor<CustomerCategory> categories;
    EXPECT_EQ(names(categories), (std::vector<std::string>{"100 軟件", "101 硬件", "102 其他"}));
    dbCursor<CustomerLevel> levels;
    EXPECT_EQ(names(levels), (std::vector<std::string>{"100 咨詢", "101 接觸", "102 客戶", "102 VIP"}));
    dbCursor<CustomerArea> areas;
    EXPECT_EQ(names(areas), (std::vector<std::string>{"100 香港", "101 台灣", "102 其他"}));

    dbCursor<Customer> customers;
    ASSERT_EQ(customers.selectAll(), 1u);
    EXPECT_STREQ(customers->id, "10000");
    EXPECT_EQ(oid_t(customers->oid), customers.getOid());
    EXPECT_EQ(customers->createdBy.getOid(), admin);
    EXPECT_EQ(customers->modifiedBy.getOid(), admin);
    EXPECT_EQ(customers->createDate.stamp, int32_t(now));
    dbCursor<CustomerCategory> category;
    EXPECT_STREQ(category.at(customers->category.getOid())->name, "軟件");
    dbCursor<CustomerLevel> level;
    EXPECT_STREQ(level.at(customers->level.getOid())->name, "VIP");
    dbCursor<CustomerArea> area;
    EXPECT_STREQ(area.at(customers->area.getOid())->name, "香港");
    db->commit();

    EXPECT_TRUE(contains(ui->log, "Vorda客戶管理系統 (網上版)伺服器已開啟, 你可以用Internet Explorer 輸入以下網站連接這個伺服器:"));
    EXPECT_TRUE(contains(ui->log, "請在IP後面加上 Port, 例如 http://203.123.1.2:8001"));
    EXPECT_EQ(ui->log.back(), "歡迎使用Vorda客戶管理系統 (網上版).");
}

TEST_F(HostTest, SecondStartSeedsNothingAndClearsSessions)
{
    ASSERT_TRUE(start());
    LoginSession session;
    session.ip = "127.0.0.1";
    session.session = 42;
    dbCursor<LoginSession>::insert(session);
    db->commit();
    stop();
    ASSERT_TRUE(start(0, 11));
    dbCursor<Employee> employees;
    EXPECT_EQ(employees.selectAll(), 1u);
    dbCursor<LoginSession> sessions;
    EXPECT_EQ(sessions.selectAll(), 0u);
    db->commit();
}

TEST_F(HostTest, AutoStartOffAndPort80)
{
    ASSERT_TRUE(start());
    {
        dbCursor<ServerSetup> setup(dbCursorForUpdate);
        setup.selectAll();
        setup->autoStart = false;
        setup.update();
    }
    db->commit();
    stop();
    ASSERT_TRUE(start());
    EXPECT_TRUE(server->started.empty());
    EXPECT_EQ(ui->log, (std::vector<std::string>{"你現在可以按 [伺服器設定] 鈕設定和開始伺服器.",
                                                 "歡迎使用Vorda客戶管理系統 (網上版)."}));
    // Port 80 from the server setup, then started from there.
    ui->serverSetupPort = "80";
    ui->serverSetupResult = TServerSetupForm::Yes;
    form->serverSetupButtonClick();
    // The stored port takes effect on the next start; this start uses the old one.
    EXPECT_EQ(server->started, std::vector<int>{8001});
    stop();
    ASSERT_TRUE(start());
    EXPECT_EQ(server->started, std::vector<int>{80});
    for (const std::string& line : ui->log) EXPECT_EQ(line.find("請在IP後面加上 Port"), std::string::npos);
}

TEST_F(HostTest, StartupFailuresEndTheProgramWithTheirMessage)
{
    fs::remove(dir.file("login.htm"));
    EXPECT_FALSE(start());
    EXPECT_EQ(ui->messages, std::vector<std::string>{"找不到 login.htm 檔案."});
    EXPECT_FALSE(db->isOpen());
    EXPECT_TRUE(form->FormClose());  // nothing to ask, no backup
    EXPECT_TRUE(ui->questions.empty());

    writeFile(dir.file("Tarnwicke.zrt"), std::string(8192, 'x'));
    writeFile(dir.file("login.htm"), "x");
    EXPECT_FALSE(start());
    EXPECT_EQ(ui->messages, std::vector<std::string>{"資料庫開啟錯誤."});
}

TEST_F(HostTest, ServerThatCannotListenCanBeStartedLaterFromTheSetup)
{
    ui = std::make_unique<FakeUi>();
    server = std::make_unique<FakeServer>();
    server->failNext = true;
    db = makeHostDatabase();
    form = std::make_unique<TMainForm>(*db, *ui, *server);
    ASSERT_TRUE(form->FormShow());
    EXPECT_FALSE(form->isServerStarted());
    EXPECT_TRUE(contains(ui->log, serverStartFailureText(8001, "連接埠已被使用")));
    EXPECT_TRUE(ui->opened.empty());
    ui->serverSetupResult = TServerSetupForm::Yes;
    form->serverSetupButtonClick();
    EXPECT_TRUE(form->isServerStarted());
    EXPECT_EQ(server->started, std::vector<int>{8001});
}

TEST_F(HostTest, ServerSetupValidatesThePort)
{
    ASSERT_TRUE(start());
    struct Case {
        const char* typed;
        const char* message;
    } cases[] = {
        {"abc", "'abc' is not a valid integer value"},
        {"0", "Port 值必須在 1 至 65535 之間."},
        {"65536", "Port 值必須在 1 至 65535 之間."},
        {"8080", "更改 Port 值後, 需要重新執行系統, 才會生效."},
    };
    for (const Case& c : cases) {
        ui->messages.clear();
        ui->serverSetupPort = c.typed;
        ui->serverSetupResult = TServerSetupForm::OK;
        form->serverSetupButtonClick();
        EXPECT_EQ(ui->messages, std::vector<std::string>{c.message}) << c.typed;
    }
    dbCursor<ServerSetup> setup;
    setup.selectAll();
    EXPECT_EQ(setup->port, 8080);
    db->commit();
    // Cancel leaves the record alone.
    ui->serverSetupPort = "9999";
    ui->serverSetupResult = TServerSetupForm::Cancel;
    form->serverSetupButtonClick();
    setup.selectAll();
    EXPECT_EQ(setup->port, 8080);
    db->commit();
}

TEST(MidnightTimerTest, FiresOneSecondAfterLocalMidnight)
{
    setenv("TZ", "Asia/Hong_Kong", 1);
    tzset();
    EXPECT_EQ(msUntilAfterMidnight(dbDateTime(2024, 3, 1, 23, 59, 59).stamp), 2000);
    EXPECT_EQ(msUntilAfterMidnight(dbDateTime(2024, 3, 1, 0, 0, 0).stamp), 86401000);
    unsetenv("TZ");
    tzset();
}

TEST_F(HostTest, DailyBackupRotatesOncePerDay)
{
    ASSERT_TRUE(start(0));
    // The first start records today: no backup yet.
    EXPECT_TRUE(backupsIn(dir.path()).empty());
    setBackupOptions([](BackupRecord& r) { r.totalBackup = 3; });
    stop();
    for (int day = 1; day <= 4; day++) {
        ASSERT_TRUE(start(day));
        stop();
        ASSERT_TRUE(start(day, 15));  // the same day again: nothing new
        stop();
    }
    EXPECT_EQ(backupsIn(dir.path()), (std::vector<std::string>{"Tarnwicke0.zrb", "Tarnwicke1.zrb", "Tarnwicke2.zrb"}));
    ASSERT_TRUE(start(4, 16));
    dbCursor<BackupRecord> record;
    record.selectAll();
    EXPECT_EQ(record->lastBackup, 1);  // 0, 1, 2, 0 were written
    db->commit();
    // The timer just after midnight makes the next day's backup.
    now = dbDateTime(2024, 3, 6, 0, 0, 1).stamp;
    fs::remove(dir.file("Tarnwicke1.zrb"));
    form->backupTimerTimer();
    EXPECT_EQ(ui->timers.back(), 86400000);
    EXPECT_TRUE(fs::exists(dir.file("Tarnwicke1.zrb")));
}

TEST_F(HostTest, AutomaticBackupsGoToBothLocationsOrFallBack)
{
    TempDir one, two;
    static std::string first, second;
    first = one.path();
    second = two.path();
    ASSERT_TRUE(start(0));
    setBackupOptions([](BackupRecord& r) {
        r.backupPath = r.backupPath2 = true;
        r.path = first.c_str();
        r.path2 = second.c_str();
        r.everytime = true;
    });
    EXPECT_TRUE(form->FormClose(false));  // the exit backup
    EXPECT_TRUE(ui->aboutShown);
    EXPECT_EQ(server->stops, 1);
    EXPECT_EQ(backupsIn(one.path()), std::vector<std::string>{"Tarnwicke0.zrb"});
    EXPECT_EQ(backupsIn(two.path()), std::vector<std::string>{"Tarnwicke0.zrb"});
    stop();
    fs::remove_all(one.path());
    fs::remove_all(two.path());
    ASSERT_TRUE(start(1));  // daily backup, locations gone: the program folder
    EXPECT_EQ(backupsIn(dir.path()), std::vector<std::string>{"Tarnwicke1.zrb"});
}

TEST_F(HostTest, BackupDialogDefaultsAndClosingChecks)
{
    ASSERT_TRUE(start());
    TBackupForm backup(*db, *ui, form->clock);
    EXPECT_TRUE(backup.everyday);
    EXPECT_FALSE(backup.everytime);
    EXPECT_EQ(backup.totalBackup, 7);
    EXPECT_EQ(backup.backupTime, "00:00");
    backup.backupPath = true;
    backup.path = "";
    EXPECT_FALSE(backup.FormClose());
    EXPECT_EQ(ui->messages.back(), "資料夾不存在.");
    TempDir folder;
    backup.path = folder.path();
    backup.backupPath2 = true;
    backup.path2 = folder.path();
    EXPECT_FALSE(backup.FormClose());
    EXPECT_EQ(ui->messages.back(), "兩個備份位置不能相同.");
    backup.backupPath2 = false;
    backup.totalBackup = 5;
    EXPECT_TRUE(backup.FormClose());
    TBackupForm again(*db, *ui, form->clock);
    EXPECT_EQ(again.totalBackup, 5);
    EXPECT_EQ(again.path, folder.path());
}

TEST_F(HostTest, BackupChangeRestoreAndADamagedArchive)
{
    ASSERT_TRUE(start());
    std::string archive = dir.file("manual.zrb");
    {
        TBackupForm backup(*db, *ui, form->clock);
        ui->files.push_back(archive);
        backup.backupClick();
    }
    EXPECT_EQ(ui->messages.back(), "備份完成.");
    // A change after the backup.
    Employee extra;
    extra.id = "late";
    dbCursor<Employee>::insert(extra);
    db->commit();
    {
        TBackupForm backup(*db, *ui, form->clock);
        ui->files.push_back(archive);
        ui->answers.push_back(true);
        backup.restoreClick();
    }
    EXPECT_EQ(ui->messages.back(), "修復完成. 請重新執行程式.");
    EXPECT_EQ(ui->endedWith, 0);
    stop();  // the process would end here
    ASSERT_TRUE(start());
    dbCursor<Employee> employees;
    EXPECT_EQ(employees.selectAll(), 1u);  // the late one is gone
    db->commit();

    // A damaged archive leaves the database as it was.
    std::string bytes = readFile(archive);
    writeFile(archive, bytes.substr(0, bytes.size() / 2));
    std::string before = readFile(dir.file("Tarnwicke.zrt"));
    {
        TBackupForm backup(*db, *ui, form->clock);
        ui->files.push_back(archive);
        ui->answers.push_back(true);
        backup.restoreClick();
    }
    EXPECT_EQ(ui->messages.back(), "修復失敗, 現有的資料庫沒有改變. 請重新執行程式.");
    EXPECT_EQ(readFile(dir.file("Tarnwicke.zrt")), before);
}

TEST_F(HostTest, ManualBackupAsksBeforeReplacingAndRestoreChecksTheFile)
{
    ASSERT_TRUE(start());
    std::string archive = dir.file("copy.zrb");
    writeFile(archive, "old");
    TBackupForm backup(*db, *ui, form->clock);
    ui->files.push_back(archive);
    backup.backupClick();  // answered no
    EXPECT_EQ(ui->questions.back(), archive + "已存在, 取代它嗎?");
    EXPECT_EQ(readFile(archive), "old");
    ui->files.push_back(dir.file("missing.zrb"));
    backup.restoreClick();
    EXPECT_EQ(ui->messages.back(), "檔案不存在.");
    EXPECT_EQ(ui->endedWith, -1);
}

TEST_F(HostTest, CloseCanBeCancelled)
{
    ASSERT_TRUE(start());
    EXPECT_FALSE(form->FormClose(true));
    EXPECT_EQ(ui->questions.back(), "關閉系統?");
    EXPECT_EQ(server->stops, 0);
    ui->answers.push_back(true);
    EXPECT_TRUE(form->FormClose(true));
    EXPECT_EQ(server->stops, 1);
}

}  // namespace
