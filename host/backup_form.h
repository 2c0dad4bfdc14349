#pragma once
// The backup dialog's logic: its settings (the BackupRecord), automatic
// daily and exit backups with rotating numbered files, manual backup and
// restore.

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "engine286/datetime.h"
#include "host/host_ui.h"
#include "vorda/vorda_database.h"

// "00:00" for no value, else the local hour and minute as "HH:MM".
std::string formatTimeOfDay(const dbDateTime& t);
// Sets the local time of day from "HH:MM" (seconds 59 when the minute is
// 59); other text leaves `t` unchanged. `now` is used when `t` has no value.
void setTimeOfDay(dbDateTime& t, const std::string& text, time_t now);

class TBackupForm {
public:
    // Loads the controls from the BackupRecord, inserting the default record
    // when there is none.
    TBackupForm(vordaDatabase& db, HostUi& ui, std::function<time_t()> clock);

    // ---- the controls ----
    bool everyday = true;
    bool everytime = false;
    int totalBackup = 7;  // "保留數目", 1 to 100
    bool backupPath = false;
    std::string path;
    bool backupPath2 = false;
    std::string path2;
    std::string backupTime = "00:00";

    // ---- automatic backups (the caller holds a write transaction) ----
    void runDailyBackup();
    void runExitBackup();
    // The files an automatic backup with number n writes.
    std::vector<std::string> automaticTargets(int n) const;
    bool backupToFile(const std::string& file);

    // ---- the dialog's buttons ----
    void backupClick();
    void restoreClick();
    void pathButtonClick();
    void path2ButtonClick();
    void helpActionExecute();
    // Checks the folders and stores the settings; false keeps the dialog open.
    bool FormClose();

    // The database file that is backed up.
    std::string databaseFile() const;

private:
    bool archiveTo(const std::string& file, int64_t maxVolumeSize);
    void automaticBackup(bool daily);
    int64_t freeSpaceFor(const std::string& file) const;

    vordaDatabase& db;
    HostUi& ui;
    std::function<time_t()> clock;
    std::string partBaseName;
    bool restoring = false;
};
