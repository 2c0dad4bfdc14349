#include "host/backup_form.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/archive.h"

namespace fs = std::filesystem;

namespace {

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool isFolder(const std::string& p)
{
    std::error_code ec;
    return !p.empty() && fs::is_directory(p, ec);
}

bool exists(const std::string& p)
{
    std::error_code ec;
    return fs::exists(p, ec);
}

dbDateTime todayAtMidnight(time_t now)
{
    std::tm t;
    localtime_r(&now, &t);
    return dbDateTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, 0, 0, 0);
}

}  // namespace

std::string formatTimeOfDay(const dbDateTime& t)
{
    if (t.stamp < 0) return "00:00";
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d:%02d", int(t.hour()) % 100, int(t.minute()) % 100);
    return buf;
}

void setTimeOfDay(dbDateTime& t, const std::string& text, time_t now)
{
    if (text.size() < 5 || text[2] != ':') return;
    for (int i : {0, 1, 3, 4})
        if (!std::isdigit(static_cast<unsigned char>(text[size_t(i)]))) return;
    int hour = (text[0] - '0') * 10 + (text[1] - '0');
    int minute = (text[3] - '0') * 10 + (text[4] - '0');
    time_t base = t.stamp < 0 ? now : time_t(t.stamp);
    std::tm parts;
    localtime_r(&base, &parts);
    t = dbDateTime(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, hour, minute, minute == 59 ? 59 : 0);
}

TBackupForm::TBackupForm(vordaDatabase& database, HostUi& userInterface, std::function<time_t()> now)
    : db(database), ui(userInterface), clock(std::move(now))
{
    dbCursor<BackupRecord> cursor(dbCursorForUpdate);
    if (cursor.selectAll() == 0) {
        BackupRecord record;
        record.lastBackupDate = todayAtMidnight(clock());
        record.everytime = false;
        record.everyday = true;
        record.lastBackup = 0;
        const std::string& folder = db.programFolder;
        record.totalBackup = folder.size() >= 2 && folder.compare(folder.size() - 2, 2, "db") == 0 ? 3 : 7;
        record.path = "";
        record.path2 = "";
        dbCursor<BackupRecord>::insert(record);
        db.commit();
        cursor.selectAll();
    }
    everyday = cursor->everyday;
    everytime = cursor->everytime;
    totalBackup = std::clamp(int(cursor->totalBackup), 1, 100);
    backupPath = cursor->backupPath;
    path = cursor->path != nullptr ? cursor->path : "";
    backupPath2 = cursor->backupPath2;
    path2 = cursor->path2 != nullptr ? cursor->path2 : "";
    backupTime = formatTimeOfDay(cursor->lastBackupDate);
    db.commit();
}

std::string TBackupForm::databaseFile() const
{
    return db.programFolder + "/" + db.dbName + ".zrt";
}

std::vector<std::string> TBackupForm::automaticTargets(int n) const
{
    std::vector<std::string> targets;
    std::string name = db.dbName + std::to_string(n) + ".zrb";
    for (auto [use, folder] : {std::pair{backupPath, path}, std::pair{backupPath2, path2}}) {
        if (use && !trim(folder).empty() && isFolder(folder)) targets.push_back(folder + "/" + name);
    }
    if (targets.empty()) targets.push_back(db.programFolder + "/" + name);
    return targets;
}

void TBackupForm::runDailyBackup()
{
    automaticBackup(true);
}

void TBackupForm::runExitBackup()
{
    automaticBackup(false);
}

void TBackupForm::automaticBackup(bool daily)
{
    dbCursor<BackupRecord> cursor(dbCursorForUpdate);
    if (cursor.selectAll() == 0 || !(daily ? cursor->everyday : cursor->everytime)) {
        db.commit();
        return;
    }
    time_t now = clock();
    dbDateTime today = todayAtMidnight(now);
    if (daily) {
        dbDateTime last = cursor->lastBackupDate;
        std::string kept = formatTimeOfDay(last);
        setTimeOfDay(last, "00:00", now);
        if (last == today) {
            db.commit();
            return;
        }
        cursor->lastBackupDate = today;
        setTimeOfDay(cursor->lastBackupDate, kept, now);
    }
    int n = cursor->lastBackup;
    int total = std::max(1, int(cursor->totalBackup));  // a count of 0 would divide by zero
    cursor->lastBackup = int8_t((n + 1) % total);
    cursor.update();
    db.commit();

    ui.showAutoBackupPanel(true);
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    for (const std::string& target : automaticTargets(n)) backupToFile(target);
    ui.showAutoBackupPanel(false);
    db.commit();
}

int64_t TBackupForm::freeSpaceFor(const std::string& file) const
{
    fs::path folder = fs::path(file).parent_path();
    if (folder.empty()) folder = ".";
    struct statvfs st;
    if (statvfs(folder.c_str(), &st) != 0) return 2147483647;
    uint64_t free = uint64_t(st.f_bavail) * st.f_frsize;
    if (free > 2147483647ull) return 2147483647;
    return std::max<int64_t>(int64_t(free) - 1024, 1);
}

bool TBackupForm::archiveTo(const std::string& file, int64_t maxVolumeSize)
{
    fs::path target(file);
    partBaseName = (target.parent_path() / target.stem()).string() + ".";
    BackupArchive archive;
    archive.title = "Backup Vorda";
    archive.compressionLevel = BackupArchive::clFastest;
    archive.maxVolumeSize = maxVolumeSize;
    archive.onProgress = [this](const std::string&, int percent, bool&) { ui.setProgress(percent); };
    archive.onNeedDisk = [this](VolumeRequest& request) {
        if (!ui.askYesNo("請輸入磁碟片#" + std::to_string(request.volume), "確定", "取消")) return false;
        if (!restoring) {
            char number[16];
            std::snprintf(number, sizeof number, "%03d", request.volume % 1000);
            request.path = partBaseName + number;
            std::error_code ec;
            fs::remove(request.path, ec);
            request.maxVolumeSize = freeSpaceFor(request.path.string());
        }
        return true;
    };
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    db.touch();
    ArchiveResult result = archive.backup({fs::path(databaseFile())}, target);
    db.commit();
    if (!result.ok() && !result.detail.empty()) std::fprintf(stderr, "backup %s: %s\n", file.c_str(), result.detail.c_str());
    return result.ok();
}

bool TBackupForm::backupToFile(const std::string& file)
{
    std::error_code ec;
    fs::remove(file, ec);
    ui.showProgress(true);
    bool ok = archiveTo(file, 2147483647);
    ui.showProgress(false);
    if (!ok) ui.messageDialog("備份失敗.");
    return ok;
}

void TBackupForm::backupClick()
{
    std::string start = backupPath ? path : path2;
    if (trim(start).empty()) start = "";
    std::optional<std::string> chosen = ui.chooseSaveFile("請輸入備份檔案", start, db.dbName + ".zrb");
    if (!chosen || chosen->empty()) return;
    std::string file = *chosen;
    if (fs::path(file).extension().empty()) file += ".zrb";
    if (exists(file)) {
        if (!ui.confirmDialog(file + "已存在, 取代它嗎?")) return;
        std::error_code ec;
        fs::remove(file, ec);
    }
    ui.setBusy(true);
    ui.showProgress(true);
    bool ok = archiveTo(file, freeSpaceFor(file));
    ui.showProgress(false);
    ui.messageDialog(ok ? "備份完成." : "備份失敗.");
    ui.setBusy(false);
}

void TBackupForm::restoreClick()
{
    std::string start = trim(backupPath ? path : path2);
    if (start.empty()) start = db.programFolder;
    std::optional<std::string> chosen = ui.chooseOpenFile(start, db.dbName + ".zrb");
    if (!chosen || chosen->empty()) return;
    if (!exists(*chosen)) {
        ui.messageDialog("檔案不存在.");
        return;
    }
    if (!ui.confirmDialog("修復會取代現有的資料庫, 確定嗎?")) return;
    ui.setBusy(true);
    ui.showProgress(true);
    // The write lock keeps web requests waiting until the process ends. The
    // database stays open: closing it would release the lock and let those
    // requests run against a closed database. The restored file replaces the
    // database file only once it has been read completely.
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    restoring = true;
    BackupArchive archive;
    archive.onProgress = [this](const std::string&, int percent, bool&) { ui.setProgress(percent); };
    archive.onNeedDisk = [this](VolumeRequest& request) {
        return ui.askYesNo("請輸入磁碟片#" + std::to_string(request.volume), "確定", "取消");
    };
    ArchiveResult result = archive.restore(*chosen, db.programFolder);
    ui.showProgress(false);
    ui.setBusy(false);
    if (result.ok()) {
        ui.messageDialog("修復完成. 請重新執行程式.");
    } else {
        if (!result.detail.empty()) std::fprintf(stderr, "restore %s: %s\n", chosen->c_str(), result.detail.c_str());
        ui.messageDialog("修復失敗, 現有的資料庫沒有改變. 請重新執行程式.");
    }
    ui.endProcess(0);
}

void TBackupForm::pathButtonClick()
{
    if (std::optional<std::string> folder = ui.chooseFolder(path)) path = *folder;
}

void TBackupForm::path2ButtonClick()
{
    if (std::optional<std::string> folder = ui.chooseFolder(path2)) path2 = *folder;
}

void TBackupForm::helpActionExecute()
{
    for (const char* page : {"/help/BackupForm.htm", "/help/install.htm", "/server_help/backup.htm"}) {
        std::string file = db.programFolder + page;
        if (exists(file)) ui.openUrl(file);
    }
}

bool TBackupForm::FormClose()
{
    if (backupPath && !isFolder(path)) {
        ui.messageDialog(path + "資料夾不存在.");
        return false;
    }
    if (backupPath2 && !isFolder(path2)) {
        ui.messageDialog(path2 + "資料夾不存在.");
        return false;
    }
    if (backupPath && backupPath2 && path == path2) {
        ui.messageDialog("兩個備份位置不能相同.");
        return false;
    }
    dbCursor<BackupRecord> cursor(dbCursorForUpdate);
    if (cursor.selectAll() != 0) {
        std::string trimmed = trim(path), trimmed2 = trim(path2);
        cursor->everytime = everytime;
        cursor->everyday = everyday;
        cursor->totalBackup = int8_t(std::clamp(totalBackup, 1, 100));
        cursor->path = trimmed.c_str();
        cursor->path2 = trimmed2.c_str();
        cursor->backupPath = backupPath;
        cursor->backupPath2 = backupPath2;
        setTimeOfDay(cursor->lastBackupDate, backupTime, clock());
        cursor.update();
    }
    db.commit();
    return true;
}
