#include "app/page_framework.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine286/cursor.h"
#include "engine286/query.h"

namespace {
dbDatabase* database = nullptr;
}

void setApplicationDatabase(dbDatabase* db)
{
    database = db;
}

dbDatabase& appDatabase()
{
    DB_ASSERT(database != nullptr);
    return *database;
}

void beginPageTransaction()
{
    appDatabase().beginTransaction(dbDatabase::dbExclusiveLock);
}

// ---------------------------------------------------------------- writing

// The writer follows the connection's own mode, so pages and the shared
// writers can be mixed freely.
Page& Page::operator<<(const char* markupText)
{
    if (con.getMode() != WWWconnection::markup) con.append("");
    con.append(markupText);
    return *this;
}

Page& Page::operator<<(PageValue v)
{
    if (con.getMode() != WWWconnection::value) con.append("");
    con.append(v.text);
    return *this;
}

Page& Page::operator<<(PageNumber n)
{
    char digits[24];
    std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(n.n));
    return *this << PageValue{digits};
}

void Page::finish()
{
    if (con.getMode() != WWWconnection::markup) con.append("");
}

void pageHeader(WWWconnection& con, const char* title, const char* onLoad)
{
    Page p(con);
    p << "Content-type: text/html\r\n\r\n"
      << "<LINK href='style.css' type=text/css rel=stylesheet>"
      << "<SCRIPT language=javascript src='common.js'></SCRIPT>"
      << "<html><head><meta http-equiv=Content-Type content=text/html; charset=utf-8><meta "
         "http-equiv=Content-Style-Type content=text/css><title>"
      << title << "</title></head>";
    if (onLoad != nullptr)
        p << "<body bgcolor=#FFFFFF text=#000000 onLoad=\"" << value(onLoad) << "\">";
    else
        p << "<body bgcolor=#FFFFFF text=#000000>";
    p << "<TABLE height=80 cellSpacing=0 cellPadding=0 width=481 bgColor=white border=0>        <TR>          <TD  "
         "vAlign=bottom width='90%'><font size=5 color=#0000FF><b>"
      << title
      << "</b></font></TD></TR>        <TR height='5%'><TD style='BORDER-TOP: #bcbcbc 2px solid' "
         "width='80%'>&nbsp;</TD>        </TABLE>";
}

bool pageFooter(WWWconnection& con)
{
    Page(con) << "</body></html>";
    return true;
}

void redMessage(WWWconnection& con, const std::string& text)
{
    Page(con) << "<P><CENTER><FONT COLOR=#FF0000>" << text << "</FONT></CENTER><P>";
}

bool errorPage(WWWconnection& con, const std::string& message)
{
    pageHeader(con, "錯誤信息");
    Page p(con);
    p << "<CENTER>" << message;
    if (message == "員工還沒有登入權限" || message == "員工或密碼錯誤" || message == "這登入Session 已無法使用, 請重新登入.")
        p << "<p><input type=button class=button value='關閉視窗' onClick=window.close()></CENTER>";
    else
        p << "<p><input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)></CENTER>";
    p.finish();
    return pageFooter(con);
}

// ---------------------------------------------------------------- request values

const char* requestText(WWWconnection& con, const char* name)
{
    return con.get(name);
}

const char* requestTextOrEmpty(WWWconnection& con, const char* name)
{
    const char* text = con.get(name);
    return text != nullptr ? text : "";
}

namespace {
bool parseDecimal(const char* text, int64_t& result)
{
    if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    result = v;
    return true;
}
}  // namespace

int64_t requestInteger(WWWconnection& con, const char* name, int64_t defaultValue)
{
    const char* text = con.get(name);
    if (text == nullptr || *text == '\0') return defaultValue;
    int64_t v;
    if (!parseDecimal(text, v)) throw BadRequestValue(std::string(name) + " is not a number");
    return v;
}

int64_t requestIntegerOr(WWWconnection& con, const char* name, int64_t fallback)
{
    int64_t v;
    return parseDecimal(con.get(name), v) ? v : fallback;
}

int64_t atolText(const char* text)
{
    if (text == nullptr) return 0;
    return std::strtoll(text, nullptr, 10);
}

// ---------------------------------------------------------------- sessions

namespace {

// The session record with that number, or false.
bool findSession(dbCursor<LoginSession>& cursor, int32_t number)
{
    dbQuery q;
    q = "session=", number;
    return cursor.select(q) != 0;
}

// The employee a reference names, or false.
bool findEmployee(dbCursor<Employee>& cursor, dbReference<Employee> ref)
{
    int32_t oid = int32_t(ref.getOid());
    dbQuery q;
    q = "oid=", oid;
    return oid != 0 && cursor.select(q) != 0;
}

}  // namespace

int32_t checkSession(WWWconnection& con, int32_t right)
{
    beginPageTransaction();
    if (con.get("session") == nullptr) {
        errorPage(con, "找不到 Session.");
        return 0;
    }
    int64_t number = requestInteger(con, "session");
    if (number <= 0) {
        errorPage(con, "Session 值錯誤.");
        return 0;
    }
    dbCursor<LoginSession> session;
    const char* peer = con.getPeer() != nullptr ? con.getPeer() : "";
    if (number > 2147483647 || !findSession(session, int32_t(number)) ||
        std::strcmp(session->ip != nullptr ? session->ip : "", peer) != 0) {
        errorPage(con, "這登入Session 已無法使用, 請重新登入.");
        return 0;
    }
    dbCursor<Employee> employee;
    if (!findEmployee(employee, session->employee)) {
        // The employee was deleted after logging in.
        errorPage(con, "這登入Session 已無法使用, 請重新登入.");
        return 0;
    }
    if ((employee->permission & right) == 0) {
        errorPage(con, "員工沒有使用這功能的權限.");
        return 0;
    }
    return int32_t(number);
}

int32_t checkSessionOnly(WWWconnection& con, dbReference<Employee>& employeeRef)
{
    int64_t number = con.get("session") != nullptr ? requestInteger(con, "session") : 0;
    if (number <= 0) {
        errorPage(con, "Session 錯誤.");
        return 0;
    }
    beginPageTransaction();
    dbCursor<LoginSession> session;
    dbCursor<Employee> employee;
    if (number > 2147483647 || !findSession(session, int32_t(number)) || !findEmployee(employee, session->employee)) {
        errorPage(con, "Session 錯誤.");
        return 0;
    }
    employeeRef = dbReference<Employee>(employee.getOid());
    return int32_t(number);
}

dbReference<Employee> sessionEmployee(int32_t number)
{
    dbCursor<LoginSession> session;
    if (!findSession(session, number)) return dbReference<Employee>();
    return session->employee;
}

int32_t newSessionNumber()
{
    uint32_t r = 0;
    while (getrandom(&r, sizeof r, 0) != sizeof r) {
    }
    int32_t n = int32_t((r & 0x7FFFFFFFu) % 2147483646u) + 1;
    dbCursor<LoginSession> session;
    while (findSession(session, n)) n = n == 2147483646 ? 1 : n + 1;
    return n;
}

// ---------------------------------------------------------------- shared look-ups

BasicSettings basicSettings()
{
    BasicSettings settings;
    dbCursor<BasicSetup> cursor;
    if (cursor.selectAll() != 0) {
        settings.rows = cursor->row;
        settings.customerCategory = cursor->customerCategory != nullptr ? cursor->customerCategory : "";
        settings.customerLevel = cursor->customerLevel != nullptr ? cursor->customerLevel : "";
        settings.customerArea = cursor->customerArea != nullptr ? cursor->customerArea : "";
    }
    return settings;
}

ListPage makeListPage(int64_t requestedIndex, int rowsSetting, int64_t total)
{
    ListPage page;
    page.rows = rowsSetting < 1 ? 1 : rowsSetting;
    page.total = total;
    page.index = requestedIndex < 0 ? 0 : requestedIndex;
    if (total > 0 && page.index >= total) page.index = ((total - 1) / page.rows) * page.rows;
    return page;
}

void writeListRange(WWWconnection& con, const ListPage& page)
{
    Page(con) << "<P>總數: " << number(page.total) << " --- 顯示: " << number(page.index + 1) << " 至 "
              << number(page.last()) << "<P>";
}

bool versionMatches(WWWconnection& con, int8_t stored, bool emptyIsStale)
{
    const char* text = con.get("version");
    if (text == nullptr || *text == '\0') return !emptyIsStale && stored == 0;
    return atolText(text) == int64_t(stored);
}
