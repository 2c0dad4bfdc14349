// The three customer classifications (CustomerCategory, CustomerLevel,
// CustomerArea): list, add, change and delete their values. The families
// differ only in their table, page names, display name and the customer
// field that uses them, so the pages are written once over the record type.

#include <cstdint>
#include <string>

#include "app/page_framework.h"
#include "app/page_functions.h"
#include "app/tables.h"
#include "engine286/cursor.h"
#include "engine286/query.h"
#include "vorda/vorda_cursor.h"

namespace {

// What sets one family apart from the others.
struct Family {
    const char* searchPage;
    const char* insertFormPage;
    const char* insertPage;
    const char* updateFormPage;
    const char* updatePage;
    const char* deleteFormPage;
    const char* deletePage;
    const char* listTitle;
    std::string BasicSettings::*caption;  // the display name in BasicSetup
    const char* usedBy;                   // condition on Customer naming a value
};

template <class T>
const Family& family();

template <>
const Family& family<CustomerCategory>()
{
    static const Family f{"searchCustomerCategory", "insertCustomerCategoryForm", "insertCustomerCategory",
                          "updateCustomerCategoryForm", "updateCustomerCategory", "deleteCustomerCategoryForm",
                          "deleteCustomerCategory", "客戶第一分類列表", &BasicSettings::customerCategory,
                          "category="};
    return f;
}

template <>
const Family& family<CustomerLevel>()
{
    static const Family f{"searchCustomerLevel", "insertCustomerLevelForm", "insertCustomerLevel",
                          "updateCustomerLevelForm", "updateCustomerLevel", "deleteCustomerLevelForm",
                          "deleteCustomerLevel", "客戶第二分類列表", &BasicSettings::customerLevel, "level="};
    return f;
}

template <>
const Family& family<CustomerArea>()
{
    static const Family f{"searchCustomerArea", "insertCustomerAreaForm", "insertCustomerArea",
                          "updateCustomerAreaForm", "updateCustomerArea", "deleteCustomerAreaForm",
                          "deleteCustomerArea", "客戶第三分類列表", &BasicSettings::customerArea, "area="};
    return f;
}

// The display name of the family's classification, read at the start of a page.
template <class T>
std::string captionOf()
{
    return basicSettings().*(family<T>().caption);
}

// Writes "?page=<page>&session=<n>" inside an onClick location, closed by "';\">".
void locationButton(Page& p, const char* opening, const char* page, int32_t session, const char* closing)
{
    p << opening << page << "&session=" << number(session) << closing;
}

// Positions `cursor` on the record whose `oid` the request names. False when
// the variable is absent or no record has that oid; a value that is not a
// number ends the page.
template <class T, class Cursor>
bool findRequested(WWWconnection& con, Cursor& cursor, int32_t& oid)
{
    if (requestText(con, "oid") == nullptr) return false;
    int64_t n = requestInteger(con, "oid");
    if (n <= 0 || n > INT32_MAX) return false;
    oid = int32_t(n);
    dbQuery byOid;
    byOid = "oid=", oid;
    return cursor.select(byOid) != 0;
}

// Whether a value of the table already has that name.
template <class T>
bool nameExists(const char* name)
{
    dbQuery byName;
    byName = "name=", &name;
    dbCursor<T> cursor;
    return cursor.select(byName) != 0;
}

// The code proposed for a new value: one above the greatest code (in text
// order) read as a number, 100 for an empty table, nothing when the greatest
// code is not a positive number.
template <class T>
void writeProposedCode(Page& p)
{
    dbQuery byCodeDown;
    byCodeDown = "order by id desc";
    dbCursor<T> cursor;
    if (cursor.select(byCodeDown) == 0) {
        p << " value='" << number(100) << "'";
        return;
    }
    int64_t greatest = atolText(cursor->id);
    if (greatest > 0 && greatest < INT64_MAX) p << " value='" << number(greatest + 1) << "'";
}

// The form's two fields, filled from a record, or with a proposed code when
// there is none.
template <class T>
void classForm(WWWconnection& con, const char* id, const char* name, bool filled)
{
    Page p(con);
    p << "<TABLE bgcolor=#FFFFCC width=780>"
      << "<TR><TD width=110>編號:<TD><input type=text name=id";
    if (filled)
        p << " value='" << value(id) << "'";
    else
        writeProposedCode<T>(p);
    p << "></TR><TR><TD>名稱:<TD><input type=text name=name size=100";
    if (filled) p << " value='" << value(name) << "'";
    p << "></TR></TABLE>";
}

void classTable(WWWconnection& con, const char* id, const char* name)
{
    Page(con) << "<CENTER><TABLE bgcolor=#FFFFCC width=780>"
              << "<TR><TD width=110>編號:<TD>" << value(id) << "</TR>"
              << "<TR><TD>名稱:<TD>" << value(name) << "</TR>"
              << "</TABLE></CENTER>";
}

void backToListButton(Page& p, const Family& f, int32_t session, const char* closing)
{
    locationButton(p, "<input type=button class=button value='返回列表' onClick=\"location='?page=", f.searchPage,
                   session, closing);
}

// The page for a missing record.
bool notFound(WWWconnection& con, const std::string& caption)
{
    return errorPage(con, "客戶" + caption + "錯誤.");
}

// ---------------------------------------------------------------- pages

template <class T>
bool searchClass(WWWconnection& con)
{
    const Family& f = family<T>();
    int32_t session = checkSession(con, permSetup);
    if (session == 0) return true;
    int64_t index = requestInteger(con, "index", 0);
    const char* id = requestTextOrEmpty(con, "id");
    const char* name = requestTextOrEmpty(con, "name");
    bool byId = *id != '\0';
    bool byName = *name != '\0';
    BasicSettings settings = basicSettings();

    pageHeader(con, f.listTitle, "formatTable('oTable');inputForm['name'].focus()");
    {
        Page p(con);
        p << "<CENTER><FORM name=inputForm action='' method=post>"
          << "<INPUT type=hidden value=" << f.searchPage << " name=page>"
          << "<INPUT type=hidden value=" << number(session) << " name=session>";
        if (byId)
            p << "編號: <INPUT size=10 name=id value=" << value(id) << ">";
        else
            p << "編號: <INPUT size=10 name=id>";
        if (byName)
            p << "名稱: <INPUT size=10 name=name value=" << value(name) << ">";
        else
            p << "名稱: <INPUT size=10 name=name>";
        locationButton(p,
                       "<P><INPUT class=button type=submit value=尋找><input class=button type=button value='加入' "
                       "onClick=\"location='?page=",
                       f.insertFormPage, session, "';\">");
    }

    // The filters are bound, never pasted into the condition.
    std::string pattern = std::string("%") + name + "%";
    const char* namePattern = pattern.c_str();
    dbQuery query;
    if (byId && byName)
        query = "id=", &id, " and name like ", &namePattern, " order by id";
    else if (byId)
        query = "id=", &id, " order by id";
    else if (byName)
        query = "name like ", &namePattern, " order by id";
    else
        query = "order by id";
    vordaCursor<T> cursor;
    int64_t total = int64_t(cursor.select(query));
    if (total == 0) {
        Page(con) << "<P>沒有資料";
    } else {
        ListPage list = makeListPage(index, settings.rows, total);
        auto button = [&](const char* opening, int64_t to) {
            Page p(con);
            p << opening << f.searchPage << "&session=" << number(session) << "&index=" << number(to);
            if (byId) p << "&id=" << value(id);
            if (byName) p << "&name=" << value(name);
            p << "'\">";
        };
        if (list.hasPrevious())
            button("<input class=button type=button value='上一頁' onClick=\"location='?page=", list.previousIndex());
        if (list.hasNext())
            button("<input class=button type=button value='下一頁' onClick=\"location='?page=", list.nextIndex());
        writeListRange(con, list);
        Page p(con);
        p << "<P><Table id=oTable width=780 border=1><TR><TH width=60>編號<TH>名稱<TH width=60>功能</TR>";
        T* row = cursor.at(size_t(list.index));
        for (int64_t shown = 0; row != nullptr && shown < list.rows; shown++, row = cursor.next()) {
            p << "<TR><TD>" << value(row->id) << "<TD>" << value(row->name) << "<TD><a href='?page="
              << f.updateFormPage << "&session=" << number(session) << "&oid=" << number(row->oid)
              << "'>更改</a>"
              << " / <a href='?page=" << f.deleteFormPage << "&session=" << number(session) << "&oid="
              << number(row->oid) << "'>刪除</a>"
              << "</TR>";
        }
        p << "</TABLE>";
    }
    Page(con) << "</FORM><P></CENTER>";
    return pageFooter(con);
}

template <class T>
bool insertClassForm(WWWconnection& con)
{
    const Family& f = family<T>();
    int32_t session = checkSession(con, permSetup);
    if (session == 0) return true;
    std::string caption = captionOf<T>();
    pageHeader(con, "加入客戶" + caption, "inputForm['id'].focus()");
    Page(con) << "<CENTER><FORM name=inputForm action='' method=post>"
              << "<INPUT type=hidden value=" << f.insertPage << " name=page>"
              << "<INPUT type=hidden value=" << number(session) << " name=session>";
    classForm<T>(con, nullptr, nullptr, false);
    {
        Page p(con);
        p << "<P><INPUT class=button type=submit value=加入>";
        backToListButton(p, f, session, "';\">");
        p << "</FORM></CENTER>";
    }
    return pageFooter(con);
}

template <class T>
bool insertClass(WWWconnection& con)
{
    const Family& f = family<T>();
    int32_t session = checkSession(con, permSetup);
    if (session == 0) return true;
    std::string caption = captionOf<T>();
    const char* id = requestTextOrEmpty(con, "id");
    const char* name = requestTextOrEmpty(con, "name");

    std::string errors;
    if (*name == '\0') errors += "客戶" + caption + "名稱錯誤.<BR>";
    if (nameExists<T>(name)) errors += "客戶" + caption + "名稱已存在.";

    if (!errors.empty()) {
        pageHeader(con, "無法加入客戶" + caption);
        redMessage(con, errors);
        Page(con) << "<CENTER><FORM action='' method=post>"
                  << "<INPUT type=hidden value=" << f.insertPage << " name=page>"
                  << "<INPUT type=hidden value=" << number(session) << " name=session>";
        classForm<T>(con, id, name, true);
        Page p(con);
        p << "<P><INPUT class=button type=submit value=加入>";
        backToListButton(p, f, session, "';\">");
        p << "</FORM></CENTER>";
        p.finish();
        return pageFooter(con);
    }

    // The request's texts live until the page ends, past the insert.
    T record;
    record.id = id;
    record.name = name;
    oid_t oid = dbCursor<T>::insert(record);
    dbCursor<T> stored(dbCursorForUpdate);
    stored.at(oid);
    stored->oid = int32_t(oid);
    stored.update();

    pageHeader(con, "成功加入客戶" + caption);
    classTable(con, id, name);
    {
        Page p(con);
        locationButton(p, "<P><CENTER><input type=button class=button value='加入新資料' onClick=\"location='?page=",
                       f.insertFormPage, session, "';\">");
        backToListButton(p, f, session, "';\">");
        p << "</CENTER>";
    }
    return pageFooter(con);
}

template <class T>
bool updateClassForm(WWWconnection& con)
{
    const Family& f = family<T>();
    int32_t session = checkSession(con, permSetup);
    if (session == 0) return true;
    std::string caption = captionOf<T>();
    dbCursor<T> cursor;
    int32_t oid = 0;
    if (!findRequested<T>(con, cursor, oid)) return notFound(con, caption);

    pageHeader(con, "更改客戶" + caption);
    Page(con) << "<CENTER><FORM action='' method=post>"
              << "<INPUT type=hidden value=" << f.updatePage << " name=page>"
              << "<INPUT type=hidden value=" << number(cursor->oid) << " name=oid>"
              << "<INPUT type=hidden value=" << number(cursor->version) << " name=version>"
              << "<INPUT type=hidden value=" << number(session) << " name=session>";
    classForm<T>(con, cursor->id, cursor->name, true);
    Page(con) << "<P><INPUT class=button type=submit value=更改>"
              << "<input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)></FORM></CENTER>";
    return pageFooter(con);
}

template <class T>
bool updateClass(WWWconnection& con)
{
    const Family& f = family<T>();
    int32_t session = checkSession(con, permSetup);
    if (session == 0) return true;
    std::string caption = captionOf<T>();
    dbCursor<T> cursor(dbCursorForUpdate);
    int32_t oid = 0;
    if (!findRequested<T>(con, cursor, oid)) return notFound(con, caption);

    const char* id = requestTextOrEmpty(con, "id");
    const char* name = requestTextOrEmpty(con, "name");
    std::string storedName = cursor->name != nullptr ? cursor->name : "";
    std::string errors;
    if (*name == '\0') errors += "客戶" + caption + "名稱錯誤.<BR>";
    if (storedName != name && nameExists<T>(name)) errors += "客戶" + caption + "名稱已存在.<BR>";
    bool stale = !versionMatches(con, cursor->version, true);
    if (stale) errors += versionMessage;

    if (!errors.empty()) {
        // Nothing is stored; the form shows the stored record after a
        // version conflict, as the message announces, else what was sent.
        pageHeader(con, "更改客戶" + caption + "錯誤");
        redMessage(con, errors);
        Page(con) << "<CENTER><FORM action='' method=post>"
                  << "<INPUT type=hidden value=" << f.updatePage << " name=page>"
                  << "<INPUT type=hidden value=" << number(session) << " name=session>"
                  << "<INPUT type=hidden value=" << number(oid) << " name=oid>"
                  << "<INPUT type=hidden value=" << number(cursor->version) << " name=version>";
        if (stale)
            classForm<T>(con, cursor->id, cursor->name, true);
        else
            classForm<T>(con, id, name, true);
        Page p(con);
        p << "<P><INPUT class=button type=submit value=更改>";
        backToListButton(p, f, session, "';\"></FORM></CENTER>");
        p.finish();
        return pageFooter(con);
    }

    cursor->id = id;
    cursor->name = name;
    cursor->version = int8_t(uint8_t(cursor->version) + 1);
    cursor.update();

    pageHeader(con, "成功更改客戶" + caption);
    classTable(con, id, name);
    {
        Page p(con);
        p << "<P><CENTER>";
        backToListButton(p, f, session, "';\"></CENTER>");
    }
    return pageFooter(con);
}

template <class T>
bool deleteClassForm(WWWconnection& con)
{
    const Family& f = family<T>();
    int32_t session = checkSession(con, permSetup);
    if (session == 0) return true;
    std::string caption = captionOf<T>();
    dbCursor<T> cursor;
    int32_t oid = 0;
    if (!findRequested<T>(con, cursor, oid)) return notFound(con, caption);

    pageHeader(con, "刪除客戶" + caption + "確認");
    classTable(con, cursor->id, cursor->name);
    Page(con) << "<P><CENTER>" << "是否確認刪除以上" + caption + "確認" << "<P>"
              << "<input type=button class=button value='是, 立即刪除' onClick=\"location='?page=" << f.deletePage
              << "&session=" << number(session) << "&oid=" << number(cursor->oid) << "';\">"
              << "<input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)></CENTER>";
    return pageFooter(con);
}

template <class T>
bool deleteClass(WWWconnection& con)
{
    const Family& f = family<T>();
    int32_t session = checkSession(con, permSetup);
    if (session == 0) return true;
    std::string caption = captionOf<T>();
    dbCursor<T> cursor(dbCursorForUpdate);
    int32_t oid = 0;
    if (!findRequested<T>(con, cursor, oid)) return notFound(con, caption);

    // Only the family's own customer field keeps a value in use.
    dbReference<T> ref(cursor.getOid());
    dbQuery byValue;
    byValue = f.usedBy, ref;
    dbCursor<Customer> users;
    if (users.select(byValue) != 0) return errorPage(con, "還有客戶資料使用這資料, 不能刪除.");

    pageHeader(con, "成功刪除客戶" + caption);
    Page(con) << "<CENTER>以下客戶" + caption + "己成功被刪除:<P>";
    classTable(con, cursor->id, cursor->name);
    {
        Page p(con);
        p << "<P>";
        backToListButton(p, f, session, "';\"></CENTER>");
    }
    cursor.remove();
    return pageFooter(con);
}

}  // namespace

bool searchCustomerCategory(WWWconnection& con) { return searchClass<CustomerCategory>(con); }
bool insertCustomerCategoryForm(WWWconnection& con) { return insertClassForm<CustomerCategory>(con); }
bool insertCustomerCategory(WWWconnection& con) { return insertClass<CustomerCategory>(con); }
bool updateCustomerCategoryForm(WWWconnection& con) { return updateClassForm<CustomerCategory>(con); }
bool updateCustomerCategory(WWWconnection& con) { return updateClass<CustomerCategory>(con); }
bool deleteCustomerCategoryForm(WWWconnection& con) { return deleteClassForm<CustomerCategory>(con); }
bool deleteCustomerCategory(WWWconnection& con) { return deleteClass<CustomerCategory>(con); }

bool searchCustomerLevel(WWWconnection& con) { return searchClass<CustomerLevel>(con); }
bool insertCustomerLevelForm(WWWconnection& con) { return insertClassForm<CustomerLevel>(con); }
bool insertCustomerLevel(WWWconnection& con) { return insertClass<CustomerLevel>(con); }
bool updateCustomerLevelForm(WWWconnection& con) { return updateClassForm<CustomerLevel>(con); }
bool updateCustomerLevel(WWWconnection& con) { return updateClass<CustomerLevel>(con); }
bool deleteCustomerLevelForm(WWWconnection& con) { return deleteClassForm<CustomerLevel>(con); }
bool deleteCustomerLevel(WWWconnection& con) { return deleteClass<CustomerLevel>(con); }

bool searchCustomerArea(WWWconnection& con) { return searchClass<CustomerArea>(con); }
bool insertCustomerAreaForm(WWWconnection& con) { return insertClassForm<CustomerArea>(con); }
bool insertCustomerArea(WWWconnection& con) { return insertClass<CustomerArea>(con); }
bool updateCustomerAreaForm(WWWconnection& con) { return updateClassForm<CustomerArea>(con); }
bool updateCustomerArea(WWWconnection& con) { return updateClass<CustomerArea>(con); }
bool deleteCustomerAreaForm(WWWconnection& con) { return deleteClassForm<CustomerArea>(con); }
bool deleteCustomerArea(WWWconnection& con) { return deleteClass<CustomerArea>(con); }
