#pragma once
// The nine tables of the customer management system.

#include <cstdint>

#include "engine286/datetime.h"
#include "engine286/describe.h"

// Permission bits of Employee::permission.
enum EmployeePermission : int32_t {
    permLogin = 1,
    permSetup = 2,
    permEmployees = 4,
    permCustomers = 8,
    permDeleteCustomers = 16,
    permOtherEmployeesCustomers = 32
};

// The HTTP server's settings (one record).
struct ServerSetup {
    int32_t port = 0;
    bool autoStart = false;
    DB_TABLE_MEMBERS;
};

// Settings of the web pages (one record).
struct BasicSetup {
    int16_t row = 0;
    const char* customerCategory = nullptr;
    const char* customerLevel = nullptr;
    const char* customerArea = nullptr;
    int8_t version = 0;
    DB_TABLE_MEMBERS;
};

struct Employee {
    int32_t oid = 0;
    const char* id = nullptr;
    const char* password = nullptr;
    const char* name = nullptr;
    const char* hkid = nullptr;
    const char* tel = nullptr;
    const char* email = nullptr;
    const char* remark = nullptr;
    int32_t permission = 0;
    int8_t version = 0;
    DB_TABLE_MEMBERS;
};

struct LoginSession {
    const char* ip = nullptr;
    dbReference<Employee> employee;
    int32_t session = 0;
    DB_TABLE_MEMBERS;
};

// The three customer classifications share their fields.
struct CustomerCategory {
    const char* name = nullptr;
    const char* id = nullptr;
    int32_t oid = 0;
    int8_t version = 0;
    DB_TABLE_MEMBERS;
};

struct CustomerLevel {
    const char* name = nullptr;
    const char* id = nullptr;
    int32_t oid = 0;
    int8_t version = 0;
    DB_TABLE_MEMBERS;
};

struct CustomerArea {
    const char* name = nullptr;
    const char* id = nullptr;
    int32_t oid = 0;
    int8_t version = 0;
    DB_TABLE_MEMBERS;
};

struct Customer {
    const char* id = nullptr;
    const char* name = nullptr;
    const char* address = nullptr;
    const char* person = nullptr;
    const char* telephone = nullptr;
    const char* fax = nullptr;
    const char* email = nullptr;
    const char* website = nullptr;
    const char* remark = nullptr;
    dbReference<CustomerCategory> category;
    dbDateTime lastUpdate;
    int32_t oid = 0;
    int8_t version = 0;
    dbReference<CustomerLevel> level;
    dbReference<CustomerArea> area;
    dbDateTime createDate;
    dbReference<Employee> createdBy;
    dbReference<Employee> modifiedBy;
    DB_TABLE_MEMBERS;
};

// Backup settings and state (one record).
struct BackupRecord {
    dbDateTime lastBackupDate;
    bool everytime = false;
    bool everyday = false;
    int8_t lastBackup = 0;
    int8_t totalBackup = 0;
    const char* path = nullptr;
    const char* path2 = nullptr;
    bool backupPath = false;
    bool backupPath2 = false;
    DB_TABLE_MEMBERS;
};

// Makes sure the tables are part of the program (they register themselves
// with the engine when the program starts).
void linkApplicationTables();
