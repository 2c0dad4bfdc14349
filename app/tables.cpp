#include "app/tables.h"

DB_TABLE(ServerSetup, "ServerSetup")
DB_TABLE(BasicSetup, "BasicSetup")
DB_TABLE(Employee, "Employee")
DB_TABLE(LoginSession, "LoginSession")
DB_TABLE(CustomerCategory, "CustomerCategory")
DB_TABLE(CustomerLevel, "CustomerLevel")
DB_TABLE(CustomerArea, "CustomerArea")
DB_TABLE(Customer, "Customer")
DB_TABLE(BackupRecord, "BackupRecord")

void linkApplicationTables() {}

dbFieldDescriptor* ServerSetup::describeFields()
{
    return dbFields<ServerSetup>()
        .field("port", &ServerSetup::port)
        .field("autoStart", &ServerSetup::autoStart);
}

dbFieldDescriptor* BasicSetup::describeFields()
{
    return dbFields<BasicSetup>()
        .field("row", &BasicSetup::row)
        .field("customerCategory", &BasicSetup::customerCategory)
        .field("customerLevel", &BasicSetup::customerLevel)
        .field("customerArea", &BasicSetup::customerArea)
        .field("version", &BasicSetup::version);
}

dbFieldDescriptor* Employee::describeFields()
{
    return dbFields<Employee>()
        .field("oid", &Employee::oid)
        .field("id", &Employee::id)
        .field("password", &Employee::password)
        .field("name", &Employee::name)
        .field("hkid", &Employee::hkid)
        .field("tel", &Employee::tel)
        .field("email", &Employee::email)
        .field("remark", &Employee::remark)
        .field("permission", &Employee::permission)
        .field("version", &Employee::version);
}

dbFieldDescriptor* LoginSession::describeFields()
{
    return dbFields<LoginSession>()
        .field("ip", &LoginSession::ip)
        .field("employee", &LoginSession::employee)
        .field("session", &LoginSession::session);
}

template <class T>
dbFieldDescriptor* describeClassification()
{
    return dbFields<T>().field("name", &T::name).field("id", &T::id).field("oid", &T::oid).field("version", &T::version);
}

dbFieldDescriptor* CustomerCategory::describeFields() { return describeClassification<CustomerCategory>(); }
dbFieldDescriptor* CustomerLevel::describeFields() { return describeClassification<CustomerLevel>(); }
dbFieldDescriptor* CustomerArea::describeFields() { return describeClassification<CustomerArea>(); }

dbFieldDescriptor* Customer::describeFields()
{
    // The address is described last: its stored place is after modifiedBy.
    return dbFields<Customer>()
        .field("id", &Customer::id)
        .field("name", &Customer::name)
        .field("person", &Customer::person)
        .field("telephone", &Customer::telephone)
        .field("fax", &Customer::fax)
        .field("email", &Customer::email)
        .field("website", &Customer::website)
        .field("remark", &Customer::remark)
        .field("category", &Customer::category)
        .field("lastUpdate", &Customer::lastUpdate)
        .field("oid", &Customer::oid)
        .field("version", &Customer::version)
        .field("level", &Customer::level)
        .field("area", &Customer::area)
        .field("createDate", &Customer::createDate)
        .field("createdBy", &Customer::createdBy)
        .field("modifiedBy", &Customer::modifiedBy)
        .field("address", &Customer::address);
}

dbFieldDescriptor* BackupRecord::describeFields()
{
    return dbFields<BackupRecord>()
        .field("lastBackupDate", &BackupRecord::lastBackupDate)
        .field("everytime", &BackupRecord::everytime)
        .field("everyday", &BackupRecord::everyday)
        .field("lastBackup", &BackupRecord::lastBackup)
        .field("totalBackup", &BackupRecord::totalBackup)
        .field("path", &BackupRecord::path)
        .field("path2", &BackupRecord::path2)
        .field("backupPath", &BackupRecord::backupPath)
        .field("backupPath2", &BackupRecord::backupPath2);
}
