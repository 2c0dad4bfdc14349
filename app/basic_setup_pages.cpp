// The basic setup page: rows per list page and the names of the three
// customer classifications (right 2).

#include <cstdint>

#include "app/page_framework.h"
#include "app/page_functions.h"
#include "engine286/cursor.h"

namespace {

// One classification row: its caption, its field and the list it leads to.
struct ClassificationRow {
    const char* opening;
    const char* BasicSetup::*field;
    const char* listPage;
};
constexpr ClassificationRow classificationRows[] = {
    {"<TR><TD>客戶第一分類:<TD><input type=text name=customerCategory value='", &BasicSetup::customerCategory,
     "searchCustomerCategory"},
    {"<TR><TD>客戶第二分類:<TD><input type=text name=customerLevel value='", &BasicSetup::customerLevel,
     "searchCustomerLevel"},
    {"<TR><TD>客戶第三分類:<TD><input type=text name=customerArea value='", &BasicSetup::customerArea,
     "searchCustomerArea"},
};

// The whole form page for the stored settings; `message` (may be null) goes
// in red between the title bar and the form.
bool basicSetupFormPage(WWWconnection& con, int32_t session, const BasicSetup& settings, const char* message)
{
    pageHeader(con, "基本設定");
    if (message != nullptr) redMessage(con, message);
    Page p(con);
    p << "<CENTER><FORM action='' method=post>"
      << "<INPUT type=hidden value=updateBasicSetup name=page>"
      << "<INPUT type=hidden value=" << number(settings.version) << " name=version>"
      << "<INPUT type=hidden value=" << number(session) << " name=session>"
      << "<TABLE bgcolor=#FFFFCC width=780>"
      // The row input is left unclosed; browsers end it at the next tag.
      << "<TR><TD width=110>列表行數:<TD><input type=text name=row value='" << number(settings.row) << "'</TR>";
    for (const ClassificationRow& row : classificationRows)
        p << row.opening << value(settings.*row.field) << "'>"
          << "<input type=button value='設定' onClick=\"location='?page=" << row.listPage << "&session="
          << number(session) << "';\"></TR>";
    p << "</TABLE>"
      << "<P><INPUT class=button type=submit value=更改></FORM></CENTER>";
    p.finish();
    return pageFooter(con);
}

}  // namespace

bool updateBasicSetupForm(WWWconnection& con)
{
    int32_t n = checkSession(con, permSetup);
    if (n == 0) return true;
    dbCursor<BasicSetup> settings;
    settings.selectAll();
    return basicSetupFormPage(con, n, *settings.get(), nullptr);
}

bool updateBasicSetup(WWWconnection& con)
{
    int32_t n = checkSession(con, permSetup);
    if (n == 0) return true;
    dbCursor<BasicSetup> settings(dbCursorForUpdate);
    settings.selectAll();
    BasicSetup& record = *settings.get();
    // An empty version reads as 0 here.
    if (!versionMatches(con, record.version, false))
        return basicSetupFormPage(con, n, record, basicSetupVersionMessage);

    // Out-of-range row counts wrap to 16 bits; anything not a number is 0.
    record.row = int16_t(atolText(requestText(con, "row")));
    record.customerCategory = requestTextOrEmpty(con, "customerCategory");
    record.customerLevel = requestTextOrEmpty(con, "customerLevel");
    record.customerArea = requestTextOrEmpty(con, "customerArea");
    record.version = int8_t(uint8_t(record.version) + 1);
    settings.update();

    pageHeader(con, "成功更改設定");
    Page(con) << "<CENTER><TABLE bgcolor=#FFFFCC width=780>"
              << "<TR><TD width=110>列表行數:<TD>" << number(record.row) << "</TR>"
              << "<TR><TD>客戶第一分類:<TD>" << value(record.customerCategory) << "</TR>"
              << "<TR><TD>客戶第二分類:<TD>" << value(record.customerLevel) << "</TR>"
              << "<TR><TD>客戶第三分類:<TD>" << value(record.customerArea) << "</TR>"
              << "</TABLE>"
              << "<P><input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)>"
              << "</CENTER>";
    return pageFooter(con);
}
