// Login, sessions, the main menu and logout.

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/page_framework.h"
#include "app/page_functions.h"
#include "app/pages.h"
#include "engine286/cursor.h"
#include "engine286/query.h"

namespace {

std::string loginTemplate;

const char* documentHead =
    "<html><head><meta http-equiv=Content-Type content=text/html; charset=utf-8><meta "
    "http-equiv=Content-Style-Type content=text/css><title>";
// The browser's F11 key (code 122) is swallowed.
const char* noFullScreen =
    "<SCRIPT>document.onkeydown = function () {if(event.keyCode==122){event.keyCode = 0;return false;}}</SCRIPT>";

// The session and employee of the menu and logout pages.
bool menuSession(WWWconnection& con, int32_t& number, dbCursor<LoginSession>& session, dbCursor<Employee>& employee)
{
    int64_t n = con.get("session") != nullptr ? requestInteger(con, "session") : 0;
    if (n <= 0) {
        errorPage(con, "Session 錯誤.");
        return false;
    }
    beginPageTransaction();
    int32_t sessionNumber = n > 2147483647 ? 0 : int32_t(n);
    dbQuery bySession;
    bySession = "session=", sessionNumber;
    if (sessionNumber == 0 || session.select(bySession) == 0) {
        errorPage(con, "Session 錯誤.");
        return false;
    }
    int32_t oid = int32_t(session->employee.getOid());
    dbQuery byOid;
    byOid = "oid=", oid;
    if (oid == 0 || employee.select(byOid) == 0) {
        errorPage(con, "Session 錯誤.");
        return false;
    }
    number = sessionNumber;
    return true;
}

}  // namespace

void setLoginPageTemplate(const std::string& text)
{
    loginTemplate = text;
}

bool login(WWWconnection& con)
{
    beginPageTransaction();
    Page(con) << "Content-type: text/html\r\n\r\n" << loginTemplate;
    return true;
}

bool checkLogin(WWWconnection& con)
{
    const char* id = requestTextOrEmpty(con, "id");
    dbQuery byId;
    byId = "id=", &id;
    beginPageTransaction();
    dbCursor<Employee> employee;
    if (employee.select(byId) != 1) return errorPage(con, "員工或密碼錯誤");
    if ((employee->permission & permLogin) == 0) return errorPage(con, "員工還沒有登入權限");
    const char* password = requestTextOrEmpty(con, "password");
    if (std::string(employee->password != nullptr ? employee->password : "") != password)
        return errorPage(con, "員工或密碼錯誤");

    dbReference<Employee> ref(employee.getOid());
    dbQuery byEmployee;
    byEmployee = "employee=", ref;
    dbCursor<LoginSession> earlier(dbCursorForUpdate);
    if (earlier.select(byEmployee) != 0) earlier.removeAllSelected();

    int32_t n = newSessionNumber();
    LoginSession session;
    session.ip = con.getPeer() != nullptr ? con.getPeer() : "";
    session.employee = ref;
    session.session = n;
    oid_t sessionId = dbCursor<LoginSession>::insert(session);

    Page p(con);
    p << "Content-type: text/html\r\n\r\n" << documentHead << "Vorda客戶管理系統 (網上版) </title></head>" << noFullScreen;
    if (const char* uploaded = con.get("datafile")) {
        // A picture sent with the login form is shown instead of the frameset.
        std::string name = std::to_string(sessionId) + ".jpg";
        std::error_code ec;
        std::filesystem::remove(name, ec);
        std::filesystem::rename(uploaded, name, ec);
        p << "<P><img src='" << value(name) << "'>" << "<P>IMG FILE: " << value(name) << "</html>";
    } else {
        p << "<frameset cols='200,*'><frame name=menu target=main scrolling=auto src='?page=mainMenu&session="
          << number(n) << "'>" << "<frame name=main scrolling=auto src='introduction.htm'></frameset></html>";
    }
    return true;
}

bool mainMenu(WWWconnection& con)
{
    int32_t n;
    dbCursor<LoginSession> session;
    dbCursor<Employee> employee;
    if (!menuSession(con, n, session, employee)) return true;
    int32_t permission = employee->permission;
    Page p(con);
    p << "Content-type: text/html\r\n\r\n" << documentHead << "主目錄</title></head>" << noFullScreen
      << "<style type=text/css> a:link   { text-decoration:underline; } a:visited{ text-decoration:underline} "
         "a:hover  { text-decoration:none;color:00FFFF }</style>"
      << "<body bgcolor=#006699 text=#FFFFFF link=#FFFFFF vlink=#CCCCCC alink=#00FFFF"
      << " oncontextmenu=window.event.returnValue=false" << ">"
      << "員工編號: " << value(employee->id) << "<BR>員工名稱:" << value(employee->name) << "<P>"
      << "<TABLE bgcolor=#006699  width=150 cellpadding=3 align=center>";
    p << "<TR><TD><a href='?page=personalEmployeeForm&session=" << number(n) << "' target=main>更改個人資料</a></TD></TR>";
    if (permission & permSetup)
        p << "<TR><TD><a href='?page=updateBasicSetupForm&session=" << number(n)
          << "' target=main>基本設定</a></TD></TR>";
    if (permission & permEmployees)
        p << "<TR><TD><a href='?page=searchEmployee&session=" << number(n) << "' target=main>員工管理</a></TD></TR>";
    if (permission & permCustomers)
        p << "<TR><TD><a href='?page=searchCustomer&session=" << number(n) << "' target=main>客戶管理</a></TD></TR>";
    p << "<TR><TD><a href='help/index.htm' target=_blank>說明書</a></TD></TR>";
    p << "<TR><TD><a href='?page=logout&session=" << number(n) << "' target=_parent>登出系統</a></TD></TR></TABLE>";
    p << "</body></html>";
    return true;
}

bool logout(WWWconnection& con)
{
    int32_t n;
    dbCursor<LoginSession> session(dbCursorForUpdate);
    dbCursor<Employee> employee;
    if (!menuSession(con, n, session, employee)) return true;
    std::string id = employee->id != nullptr ? employee->id : "";
    std::string name = employee->name != nullptr ? employee->name : "";
    session.remove();
    pageHeader(con, "登出成功");
    Page(con) << "<CENTER>員工編號 '" << value(id) << "' 員工名稱 '" << value(name) << "' 己成功登出.<P>"
              << "<input type=button class=button value='關閉這視窗' onClick=javascript:window.close()></CENTER>";
    return pageFooter(con);
}
