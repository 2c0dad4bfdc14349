// The employee pages: the list with its filters, adding, changing and
// deleting employees (right 4), and every employee's own data (session only).

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "app/page_framework.h"
#include "app/page_functions.h"
#include "engine286/cursor.h"
#include "engine286/query.h"
#include "vorda/vorda_buffer.h"
#include "vorda/vorda_cursor.h"

namespace {

const char* const codeError = "員工編號錯誤.<BR>";
const char* const passwordError = "密碼最少要輸入四個字.<BR>";
const char* const employeeError = "員工錯誤.";
constexpr size_t minimumPasswordLength = 4;

// The check boxes of the employee form and the permission bits they set.
struct PermissionBox {
    const char* name;
    int32_t bit;
};
constexpr PermissionBox permissionBoxes[] = {
    {"login", permLogin},
    {"setup", permSetup},
    {"emp", permEmployees},
    {"customer", permCustomers},
    {"deleteCustomer", permDeleteCustomers},
    {"updateCustomer", permOtherEmployeesCustomers},
};

bool isEmpty(const char* text) { return text == nullptr || *text == '\0'; }
size_t textLength(const char* text) { return text != nullptr ? std::strlen(text) : 0; }

// A submitted employee form as a record; absent variables stay null. The
// texts belong to the request, which outlives the page.
void readEmployeeForm(WWWconnection& con, Employee& record)
{
    record.id = requestText(con, "id");
    record.password = requestText(con, "password");
    record.name = requestText(con, "name");
    record.hkid = requestText(con, "hkid");
    record.tel = requestText(con, "tel");
    record.email = requestText(con, "email");
    record.remark = requestText(con, "remark");
    record.permission = 0;
    for (const PermissionBox& box : permissionBoxes)
        if (requestText(con, box.name) != nullptr) record.permission |= box.bit;
}

// Whether an employee already uses the code. The code is bound as a
// parameter, so any text (quotes too) is looked up as it is.
bool codeInUse(const char* code)
{
    const char* key = code != nullptr ? code : "";
    dbQuery byId;
    byId = "id=", &key;
    dbCursor<Employee> cursor;
    return cursor.select(byId) != 0;
}

// The employee named by the request's `oid`, selected into `cursor`; false
// when there is no `oid` or no such employee. `oid` receives the number.
bool findRequestedEmployee(WWWconnection& con, dbCursor<Employee>& cursor, int32_t& oid)
{
    if (requestText(con, "oid") == nullptr) return false;
    int64_t n = requestInteger(con, "oid");
    if (n < INT32_MIN || n > INT32_MAX) return false;
    oid = int32_t(n);
    dbQuery byOid;
    byOid = "oid=", oid;
    return cursor.select(byOid) != 0;
}

// The employee form, empty (every right ticked) or filled from a record.
void employeeForm(WWWconnection& con, const Employee* record)
{
    struct TextField {
        const char* opening;
        const char* Employee::*field;
    };
    static const TextField fields[] = {
        {"<TR><TD width=110>員工編號:<TD><input type=text name=id", &Employee::id},
        {"></TR><TR><TD>登入密碼:<TD><input type=password name=password", &Employee::password},
        {"></TR><TR><TD>員工名稱:<TD><input type=text name=name size=100", &Employee::name},
        {"></TR><TR><TD>身份證編號:<TD><input type=text name=hkid", &Employee::hkid},
        {"></TR><TR><TD>聯絡電話:<TD><input type=text name=tel", &Employee::tel},
        {"></TR><TR><TD>電郵:<TD><input type=text name=email size=100", &Employee::email},
    };
    static const char* const boxOpenings[] = {
        "<TR><TD>權限:<TD><input type=checkbox name=login",
        ">登入<br><input type=checkbox name=setup",
        ">基本設定<br><input type=checkbox name=emp",
        ">員工管理<br><input type=checkbox name=customer",
        ">客戶管理<br><input type=checkbox name=deleteCustomer",
        ">刪除客戶<br><input type=checkbox name=updateCustomer",
    };
    Page p(con);
    p << "<TABLE bgcolor=#FFFFCC width=780>";
    for (const TextField& f : fields) {
        p << f.opening;
        if (record != nullptr) p << " value='" << value(record->*f.field) << "'";
    }
    p << "></TR><TR><TD>備註:<TD><textarea name=remark rows=5 cols=80>";
    if (record != nullptr) p << value(record->remark);
    p << "</textarea></TR>";
    for (size_t i = 0; i < std::size(permissionBoxes); i++) {
        p << boxOpenings[i];
        if (record == nullptr || (record->permission & permissionBoxes[i].bit) != 0) p << " checked";
    }
    p << ">查詢和更改其他員工客戶</TABLE>";
}

// An employee's data for reading; the password and the rights are not shown.
void employeeTable(WWWconnection& con, const Employee& record)
{
    Page(con) << "<CENTER><TABLE bgcolor=#FFFFCC width=780>"
              << "<TR><TD width=110>員工編號:<TD>" << value(record.id) << "</TR>"
              << "<TR><TD>員工名稱:<TD>" << value(record.name) << "</TR>"
              << "<TR><TD>身份證編號:<TD>" << value(record.hkid) << "</TR>"
              << "<TR><TD>聯絡電話:<TD>" << value(record.tel) << "</TR>"
              << "<TR><TD>電郵:<TD>" << value(record.email) << "</TR>"
              << "<TR><TD>備註:<TD>" << value(record.remark) << "</TR>"
              << "</TABLE></CENTER>";
}

void backToEmployeesButton(Page& p, int32_t session)
{
    p << "<input type=button class=button value='返回員工管理' onClick=\"location='?page=searchEmployee&session="
      << number(session) << "';\">";
}

// A previous or next page button of the list, repeating the filters.
void listButton(Page& p, const char* caption, int32_t session, int64_t index, const char* id, const char* name)
{
    p << "<input class=button type=button value='" << caption << "' onClick=\"location='?page=searchEmployee&session="
      << number(session) << "&index=" << number(index);
    if (!isEmpty(id)) p << "&id=" << value(id);
    if (!isEmpty(name)) p << "&name=" << value(name);
    p << "'\">";
}

}  // namespace

bool searchEmployee(WWWconnection& con)
{
    int32_t n = checkSession(con, permEmployees);
    if (n == 0) return true;
    int64_t requestedIndex = requestInteger(con, "index");
    const char* id = requestTextOrEmpty(con, "id");
    const char* name = requestTextOrEmpty(con, "name");

    // The filters are bound as parameters; the name matches anywhere.
    std::string pattern = std::string("%") + name + "%";
    const char* patternText = pattern.c_str();
    dbQuery filter;
    if (*id != '\0') {
        filter = "id=", &id;
        if (*name != '\0') filter, " and name like ", &patternText;
    } else if (*name != '\0') {
        filter = "name like", &patternText;
    }

    pageHeader(con, "員工列表", "formatTable('oTable');inputForm['name'].focus()");
    {
        Page p(con);
        p << "<CENTER><FORM name=inputForm action='' method=post>"
          << "<INPUT type=hidden value=searchEmployee name=page>"
          << "<INPUT type=hidden value=" << number(n) << " name=session>";
        if (*id != '\0')
            p << "員工編號: <INPUT size=10 name=id value=" << value(id) << ">";
        else
            p << "員工編號: <INPUT size=10 name=id>";
        if (*name != '\0')
            p << "員工名稱: <INPUT size=10 name=name value=" << value(name) << ">";
        else
            p << "員工名稱: <INPUT size=10 name=name>";
        p << "<P><INPUT class=button type=submit value=尋找><input class=button type=button value='加入員工' "
             "onClick=\"location='?page=insertEmployeeForm&session="
          << number(n) << "';\">";
    }

    int rows = basicSettings().rows;
    vordaCursor<Employee> cursor;
    size_t total = cursor.select(filter);
    if (total == 0) {
        Page(con) << "<P>沒有資料";
    } else {
        ListPage list = makeListPage(requestedIndex, rows, int64_t(total));
        {
            Page p(con);
            if (list.hasPrevious()) listButton(p, "上一頁", n, list.previousIndex(), id, name);
            if (list.hasNext()) listButton(p, "下一頁", n, list.nextIndex(), id, name);
        }
        writeListRange(con, list);
        Page p(con);
        p << "<P><Table id=oTable width=780 border=1><TR><TH width=60>員工編號<TH>員工名稱<TH width=80>電話<TH "
             "width=150>電郵<TH width=60>功能</TR>";
        int64_t written = 0;
        for (Employee* e = cursor.at(size_t(list.index)); e != nullptr && written < list.rows; e = cursor.next()) {
            p << "<TR><TD>" << value(e->id) << "<TD>" << value(e->name) << "<TD>" << value(e->tel) << "<TD>"
              << value(e->email) << "<TD><a href='?page=updateEmployeeForm&session=" << number(n)
              << "&oid=" << number(e->oid) << "'>更改</a>"
              << " / <a href='?page=deleteEmployeeForm&session=" << number(n) << "&oid=" << number(e->oid)
              << "'>刪除</a>"
              << "</TR>";
            written += 1;
        }
        p << "</TABLE>";
    }
    Page(con) << "</FORM><P></CENTER>";
    return pageFooter(con);
}

bool insertEmployeeForm(WWWconnection& con)
{
    int32_t n = checkSession(con, permEmployees);
    if (n == 0) return true;
    pageHeader(con, "加入員工", "inputForm['id'].focus()");
    Page(con) << "<CENTER><FORM name=inputForm action='' method=post>"
              << "<INPUT type=hidden value=insertEmployee name=page>"
              << "<INPUT type=hidden value=" << number(n) << " name=session>";
    employeeForm(con, nullptr);
    {
        Page p(con);
        p << "<P><INPUT class=button type=submit value=加入>";
        backToEmployeesButton(p, n);
        p << "</FORM></CENTER>";
    }
    return pageFooter(con);
}

bool insertEmployee(WWWconnection& con)
{
    int32_t n = checkSession(con, permEmployees);
    if (n == 0) return true;
    Employee record;
    readEmployeeForm(con, record);

    std::string errors;
    if (isEmpty(record.id)) errors += codeError;
    if (textLength(record.password) < minimumPasswordLength) errors += passwordError;
    if (codeInUse(record.id)) errors += "員工編號已存在.";

    if (errors.empty()) {
        oid_t oid = dbCursor<Employee>::insert(record);
        dbCursor<Employee> stored(dbCursorForUpdate);
        stored.at(oid);
        stored->oid = int32_t(oid);
        stored.update();

        pageHeader(con, "成功加入員工");
        employeeTable(con, record);
        Page p(con);
        p << "<P><CENTER><input type=button class=button value='加入新員工' "
             "onClick=\"location='?page=insertEmployeeForm&session="
          << number(n) << "';\">";
        backToEmployeesButton(p, n);
        p << "</CENTER>";
    } else {
        pageHeader(con, "無法加入員工");
        redMessage(con, errors);
        Page(con) << "<CENTER><FORM action='' method=post>"
                  << "<INPUT type=hidden value=insertEmployee name=page>"
                  << "<INPUT type=hidden value=" << number(n) << " name=session>";
        employeeForm(con, &record);
        Page p(con);
        p << "<P><INPUT class=button type=submit value=加入>";
        backToEmployeesButton(p, n);
        p << "</FORM></CENTER>";
    }
    return pageFooter(con);
}

bool updateEmployeeForm(WWWconnection& con)
{
    int32_t n = checkSession(con, permEmployees);
    if (n == 0) return true;
    dbCursor<Employee> employee;
    int32_t oid = 0;
    if (!findRequestedEmployee(con, employee, oid)) return errorPage(con, employeeError);

    pageHeader(con, "更改員工");
    Page(con) << "<CENTER><FORM action='' method=post>"
              << "<INPUT type=hidden value=updateEmployee name=page>"
              << "<INPUT type=hidden value=" << number(oid) << " name=oid>"
              << "<INPUT type=hidden value=" << number(employee->version) << " name=version>"
              << "<INPUT type=hidden value=" << number(n) << " name=session>";
    employeeForm(con, employee.get());
    Page(con) << "<P><INPUT class=button type=submit value=更改>"
              << "<input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)></FORM></CENTER>";
    return pageFooter(con);
}

bool updateEmployee(WWWconnection& con)
{
    int32_t n = checkSession(con, permEmployees);
    if (n == 0) return true;
    dbCursor<Employee> employee(dbCursorForUpdate);
    int32_t oid = 0;
    if (!findRequestedEmployee(con, employee, oid)) return errorPage(con, employeeError);

    // The stored record as it was; nothing changes the database before the
    // checks are done, so its texts stay valid.
    const Employee stored = *employee.get();
    Employee& record = *employee.get();
    readEmployeeForm(con, record);

    std::string errors;
    bool staleVersion = !versionMatches(con, stored.version, true);
    if (isEmpty(record.id)) errors += codeError;
    if (textLength(record.password) < minimumPasswordLength) errors += passwordError;
    if (std::strcmp(record.id != nullptr ? record.id : "", stored.id != nullptr ? stored.id : "") != 0 &&
        codeInUse(record.id))
        errors += "員工編號已存在.<BR>";
    if (staleVersion) errors += versionMessage;

    if (errors.empty()) {
        record.version = int8_t(uint8_t(stored.version) + 1);
        employee.update();
        pageHeader(con, "成功更改員工");
        employeeTable(con, record);
        {
            Page p(con);
            p << "<P><CENTER>";
            backToEmployeesButton(p, n);
            p << "</CENTER>";
        }
        return pageFooter(con);
    }

    pageHeader(con, "更改員工錯誤");
    redMessage(con, errors);
    Page(con) << "<CENTER><FORM action='' method=post>"
              << "<INPUT type=hidden value=updateEmployee name=page>"
              << "<INPUT type=hidden value=" << number(n) << " name=session>"
              << "<INPUT type=hidden value=" << number(oid) << " name=oid>"
              << "<INPUT type=hidden value=" << number(stored.version) << " name=version>";
    // After a version conflict the form shows the stored record, as the
    // message announces; otherwise the values just submitted.
    employeeForm(con, staleVersion ? &stored : &record);
    {
        Page p(con);
        p << "<P><INPUT class=button type=submit value=更改>";
        backToEmployeesButton(p, n);
        p << "</FORM></CENTER>";
    }
    return pageFooter(con);
}

bool deleteEmployeeForm(WWWconnection& con)
{
    int32_t n = checkSession(con, permEmployees);
    if (n == 0) return true;
    dbCursor<Employee> employee;
    int32_t oid = 0;
    if (!findRequestedEmployee(con, employee, oid)) return errorPage(con, employeeError);

    pageHeader(con, "刪除員工確認");
    employeeTable(con, *employee.get());
    Page(con) << "<P><CENTER>是否確認刪除以上員工嗎?<P>"
              << "<input type=button class=button value='是, 立即刪除' onClick=\"location='?page=deleteEmployee&session="
              << number(n) << "&oid=" << number(employee->oid) << "';\">"
              << "<input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)></CENTER>";
    return pageFooter(con);
}

bool deleteEmployee(WWWconnection& con)
{
    int32_t n = checkSession(con, permEmployees);
    if (n == 0) return true;
    dbCursor<Employee> employee(dbCursorForUpdate);
    int32_t oid = 0;
    if (!findRequestedEmployee(con, employee, oid)) return errorPage(con, employeeError);

    dbReference<Employee> ref(employee.getOid());
    dbQuery byCreator;
    byCreator = "createdBy=", ref;
    dbCursor<Customer> customers;
    if (customers.select(byCreator) != 0) return errorPage(con, "還有客戶資料使用這資料, 不能刪除.");

    pageHeader(con, "成功刪除員工");
    Page(con) << "<CENTER>以下員工己成功被刪除:<P>";
    employeeTable(con, *employee.get());
    {
        Page p(con);
        p << "<P>";
        backToEmployeesButton(p, n);
        p << "</CENTER>";
    }
    // The employee's sessions stay; the session check refuses them later.
    employee.remove();
    return pageFooter(con);
}

bool personalEmployeeForm(WWWconnection& con)
{
    dbReference<Employee> ref;
    int32_t n = checkSessionOnly(con, ref);
    if (n == 0) return true;
    dbCursor<Employee> employee;
    employee.at(ref.getOid());

    pageHeader(con, "更改個人資料");
    Page(con) << "<CENTER><FORM action='' method=post>"
              << "<INPUT type=hidden value=personalEmployee name=page><TABLE bgcolor=#FFFFCC width=780>"
              << "<INPUT type=hidden value=" << number(n) << " name=session>"
              << "<TR><TD width=110>登入密碼:<TD><input type=password name=password value="
              << value(employee->password) << "></TR>"
              << "<TR><TD>員工名稱:<TD><input type=text name=name size=100 value='" << value(employee->name)
              << "'></TR>"
              << "<TR><TD>身份證編號:<TD><input type=text name=hkid value=" << value(employee->hkid) << "></TR>"
              << "<TR><TD>聯絡電話:<TD><input type=text name=tel value='" << value(employee->tel) << "'></TR>"
              << "<TR><TD>電郵:<TD><input type=text name=email size=100 value=" << value(employee->email)
              << "></TR>"
              << "<TR height=80><TD colspan=2><div align=center><INPUT class=button type=submit value=更改></TABLE></FORM>";
    return pageFooter(con);
}

bool personalEmployee(WWWconnection& con)
{
    dbReference<Employee> ref;
    int32_t n = checkSessionOnly(con, ref);
    if (n == 0) return true;
    dbCursor<Employee> employee(dbCursorForUpdate);
    employee.at(ref.getOid());

    vordaBuffer texts;
    Employee& record = *employee.get();
    record.password = texts.put(requestText(con, "password"));
    record.name = texts.put(requestText(con, "name"));
    record.hkid = texts.put(requestText(con, "hkid"));
    record.tel = texts.put(requestText(con, "tel"));
    record.email = texts.put(requestText(con, "email"));

    if (std::strlen(record.password) < minimumPasswordLength) {
        pageHeader(con, "更改員工錯誤");
        redMessage(con, passwordError);
        Page(con) << "<CENTER><FORM action='' method=post>"
                  << "<INPUT type=hidden value=personalEmployee name=page><TABLE bgcolor=#FFFFCC width=780>"
                  << "<INPUT type=hidden value=" << number(n) << " name=session>"
                  << "<TR><TD wisth=110>登入密碼:<TD><input type=password name=password value="
                  << value(record.password) << "></TR>"
                  << "<TR><TD>員工名稱:<TD><input type=text name=name size=100 value=" << value(record.name)
                  << "></TR>"
                  << "<TR><TD>身份證編號:<TD><input type=text name=hkid value=" << value(record.hkid) << "></TR>"
                  << "<TR><TD>聯絡電話:<TD><input type=text name=tel value=" << value(record.tel) << "></TR>"
                  << "<TR><TD>電郵:<TD><input type=text name=email size=100 value=" << value(record.email)
                  << "></TR>"
                  << "<TR height=80><TD colspan=2><div align=center><INPUT class=button type=submit "
                     "value=更改></div></TABLE></FORM></CENTER>";
        return pageFooter(con);
    }

    // The code is shown after the update, so it is kept apart from the
    // stored record.
    std::string id = record.id != nullptr ? record.id : "";
    employee.update();  // the version is neither compared nor changed here
    pageHeader(con, "成功更改個人資料");
    Page(con) << "<CENTER><TABLE bgcolor=#FFFFCC width=780>"
              << "<TR><TD width=110>員工編號:<TD>" << value(id) << "</TR>"
              << "<TR><TD>員工名稱:<TD>" << value(record.name) << "</TR>"
              << "<TR><TD>身份證編號:<TD>" << value(record.hkid) << "</TR>"
              << "<TR><TD>聯絡電話:<TD>" << value(record.tel) << "</TR>"
              << "<TR><TD>電郵:<TD>" << value(record.email) << "</TR>"
              << "</TABLE></CENTER>";
    return pageFooter(con);
}
