#pragma once
// What every page shares: the database, the page skeleton, the error page,
// the red message box, the session and right check, reading request values,
// list paging and the record version check.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "app/tables.h"
#include "engine286/wwwapi.h"
#include "vorda/vorda_buffer.h"

// The database the pages work on; set by the host before the server starts.
void setApplicationDatabase(dbDatabase* db);
dbDatabase& appDatabase();
// Begins the calling thread's exclusive transaction (pages run one at a time).
void beginPageTransaction();

// ---- the page skeleton ----
void pageHeader(WWWconnection& con, const char* title, const char* onLoad = nullptr);
inline void pageHeader(WWWconnection& con, const std::string& title, const char* onLoad = nullptr)
{
    pageHeader(con, title.c_str(), onLoad);
}
bool pageFooter(WWWconnection& con);
void redMessage(WWWconnection& con, const std::string& text);
bool errorPage(WWWconnection& con, const std::string& message);

// Writes a page in the connection's alternating markup/value order:
//
//     Page(con) << "<TR><TD>" << value(record->name) << "<TD>" << number(n);
//
// Markup texts are copied, values HTML-escaped, numbers written in decimal.
// Two markup texts in a row get an empty value between them, so the writer
// keeps the order whatever is written; it follows the connection's mode, so
// pages may mix Page writers and the functions of this header freely. A Page
// returns the connection to markup mode when it is destroyed.
struct PageValue {
    const char* text;
};
struct PageNumber {
    int64_t n;
};
inline PageValue value(const char* text) { return PageValue{text != nullptr ? text : ""}; }
inline PageValue value(const std::string& text) { return PageValue{text.c_str()}; }
inline PageNumber number(int64_t n) { return PageNumber{n}; }

class Page {
public:
    explicit Page(WWWconnection& con) : con(con) {}
    ~Page() { finish(); }
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    Page& operator<<(const char* markupText);
    Page& operator<<(const std::string& markupText) { return *this << markupText.c_str(); }
    Page& operator<<(PageValue v);
    Page& operator<<(PageNumber n);
    // Back to markup mode (before calling another writer on the connection).
    void finish();

private:
    WWWconnection& con;
};

// ---- request values ----
// A request variable that is not a decimal integer ends the page: the
// dispatcher answers with what was written so far ("404 Not found" when
// nothing was).
struct BadRequestValue : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The text of a variable, or null when absent.
const char* requestText(WWWconnection& con, const char* name);
// The text of a variable, "" when absent.
const char* requestTextOrEmpty(WWWconnection& con, const char* name);
// A decimal integer; `defaultValue` when absent or empty; throws
// BadRequestValue for anything else.
int64_t requestInteger(WWWconnection& con, const char* name, int64_t defaultValue = 0);
// A decimal integer, or `fallback` when absent, empty or not a number.
int64_t requestIntegerOr(WWWconnection& con, const char* name, int64_t fallback);
// The C library's atol: leading blanks, sign and digits; 0 without digits.
int64_t atolText(const char* text);

// ---- sessions ----
// The session number of a valid session whose employee holds `right` (a
// permission bit), or 0 after writing an error page.
int32_t checkSession(WWWconnection& con, int32_t right);
// The session's employee for the pages that check only that the session and
// its employee exist; writes "Session 錯誤." and returns 0 otherwise.
int32_t checkSessionOnly(WWWconnection& con, dbReference<Employee>& employee);
// The employee of a checked session.
dbReference<Employee> sessionEmployee(int32_t session);
// A new session number: random, 1..2147483646, held by no other session.
int32_t newSessionNumber();

// ---- shared look-ups ----
// The BasicSetup record's values (defaults when the record is missing).
struct BasicSettings {
    int rows = 20;
    std::string customerCategory;
    std::string customerLevel;
    std::string customerArea;
};
BasicSettings basicSettings();

// ---- lists with paging ----
// Where a list page starts and ends, made safe for any index and any number
// of rows per page: every page shows at least one row and moves on.
struct ListPage {
    int64_t index = 0;     // first row shown (0-based)
    int64_t rows = 1;      // rows per page, at least 1
    int64_t total = 0;
    int64_t last() const { return index + rows < total ? index + rows : total; }
    bool hasPrevious() const { return index != 0; }
    bool hasNext() const { return index + rows < total; }
    int64_t previousIndex() const { return index - rows > 0 ? index - rows : 0; }
    int64_t nextIndex() const { return index + rows; }
};
ListPage makeListPage(int64_t requestedIndex, int rowsSetting, int64_t total);
// Writes "<P>總數: ", total, " --- 顯示: ", first, " 至 ", last, "<P>".
void writeListRange(WWWconnection& con, const ListPage& page);

// ---- record versions ----
// Whether the posted version (read as atol reads it) matches the stored one;
// an empty or absent version never matches when `emptyIsStale`.
bool versionMatches(WWWconnection& con, int8_t stored, bool emptyIsStale);
constexpr const char* versionMessage = "資料版本錯誤, 有其他員工更改這資料, 以下是更新版本, 請重新更改.<BR>";
constexpr const char* basicSetupVersionMessage = "資料版本錯誤, 有其他員工更改, 以下是更新版本, 請重新更改.<BR>";
