// The customer pages: the searchable, paged list, and a form and an action
// each for adding, changing and removing a customer.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

#include "app/page_framework.h"
#include "app/page_functions.h"
#include "app/tables.h"
#include "engine286/cursor.h"
#include "engine286/query.h"
#include "vorda/vorda_cursor.h"

namespace {

constexpr const char* notFoundMessage = "客戶錯誤.";

// A date as the host writes short dates; nothing for a missing date.
std::string shortDate(const dbDateTime& date)
{
    if (!date.isValid()) return "";
    time_t seconds = date.stamp;
    std::tm parts;
    if (localtime_r(&seconds, &parts) == nullptr) return "";
    char text[32];
    if (std::strftime(text, sizeof text, "%Y/%m/%d", &parts) == 0) return "";
    return text;
}

// The record a reference names, when it is a row of T's table; null for a
// null, stale or foreign id. `rows` is a selection of the whole table (in any
// order); its current row moves to the record found.
template <class T>
const T* rowOf(vordaCursor<T>& rows, dbReference<T> ref)
{
    if (ref.isNull()) return nullptr;
    return rows.find(ref);
}

// The same for a single look-up.
template <class T>
bool exists(dbReference<T> ref)
{
    vordaCursor<T> rows;
    rows.selectAll();
    return rowOf(rows, ref) != nullptr;
}

// The name of the record a reference names, or "" when there is none.
template <class T>
std::string nameOf(dbReference<T> ref)
{
    vordaCursor<T> rows;
    rows.selectAll();
    const T* record = rowOf(rows, ref);
    return record != nullptr && record->name != nullptr ? record->name : "";
}

// The classification values in code order, as the forms list them.
template <class T>
void selectByCode(vordaCursor<T>& cursor, dbQuery& query)
{
    query = "order by id";
    cursor.select(query);
}

// The logged-in employee's rights.
int32_t permissionOf(dbReference<Employee> employee)
{
    vordaCursor<Employee> rows;
    rows.selectAll();
    const Employee* e = rowOf(rows, employee);
    return e != nullptr ? e->permission : 0;
}

// Positions `cursor` on the customer whose `oid` the request names. False
// when the variable is absent or no customer has that oid; a value that is
// not a number ends the page.
template <class Cursor>
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

void writeCaption(Page& p, const char* opening, const std::string& caption, const char* closing)
{
    p << opening << value(caption) << closing;
}

// The option list of one classification: every value in code order, the
// chosen one selected (the first one when `chosen` is null).
template <class T>
void classOptions(Page& p, vordaCursor<T>& values, const dbReference<T>* chosen)
{
    bool first = true;
    for (T* v = values.at(size_t(0)); v != nullptr; v = values.next()) {
        bool selected = chosen != nullptr ? oid_t(v->oid) == chosen->getOid() : first;
        p << "<option value=" << number(v->oid) << (selected ? " selected>" : ">") << value(v->name) << "</option>";
        first = false;
    }
}

// The customer view table of the add, change and delete pages.
void customerView(WWWconnection& con, const BasicSettings& settings, const Customer& c)
{
    std::string employee = nameOf(c.createdBy);
    std::string category = nameOf(c.category);
    std::string level = nameOf(c.level);
    std::string area = nameOf(c.area);
    Page(con) << "<CENTER><TABLE bgcolor=#FFFFCC width=780>"
              << "<TR><TD width=110>編號:<TD>" << value(c.id)
              << "<TR><TD>負責員工:<TD>" << value(employee)
              << "<TR><TD>" << value(settings.customerCategory) << ":<TD>" << value(category)
              << "<TR><TD>" << value(settings.customerLevel) << ":<TD>" << value(level)
              << "<TR><TD>" << value(settings.customerArea) << ":<TD>" << value(area)
              << "<TR><TD>公司名稱:<TD>" << value(c.name)
              << "<TR><TD>聯絡人:<TD>" << value(c.person)
              << "<TR><TD>聯絡電腦:<TD>" << value(c.telephone)
              << "<TR><TD>傳真:<TD>" << value(c.fax)
              << "<TR><TD>電郵:<TD>" << value(c.email)
              << "<TR><TD>網站:<TD>" << value(c.website)
              << "</TABLE></CENTER>";
}

// The id proposed for a new customer: one above the greatest id (in text
// order) read as a number, 10000 for the first customer, nothing when the
// greatest id does not start with a positive number. The greatest id is
// found in one pass rather than by sorting every customer.
void writeProposedId(Page& p)
{
    dbCursor<Customer> cursor;
    cursor.selectAll();
    if (cursor.isEmpty()) {
        p << " value='" << number(10000) << "'>";
        return;
    }
    std::string greatestId;
    do {
        const char* id = cursor->id != nullptr ? cursor->id : "";
        if (std::strcmp(id, greatestId.c_str()) > 0) greatestId = id;
    } while (cursor.next() != nullptr);
    int64_t greatest = atolText(greatestId.c_str());
    if (greatest >= 1 && greatest < INT64_MAX)
        p << " value='" << number(greatest + 1) << "'>";
    else
        p << ">";
}

// What the customer form shows.
struct FormFill {
    const Customer* customer = nullptr;  // the values shown; null for an empty form
    bool stored = false;                 // the customer is stored: show its dates and last editor
    dbReference<Employee> employee;      // the responsible employee of an empty form
};

void customerFormFields(WWWconnection& con, const BasicSettings& settings, const FormFill& fill)
{
    const Customer* c = fill.customer;
    Page p(con);
    if (c != nullptr && fill.stored) {
        p << "建立日期: " << value(shortDate(c->createDate));
        vordaCursor<Employee> employees;
        employees.selectAll();
        if (const Employee* editor = rowOf(employees, c->modifiedBy))
            p << "&nbsp;&nbsp;&nbsp;最近更改員工: " << value(editor->name);
        p << "&nbsp;&nbsp;&nbsp;最近更改日期: " << value(shortDate(c->lastUpdate));
    }
    p << "<P><TABLE bgcolor=#FFFFCC>"
      << "<TR><TD width=110>編號:<TD><input type=text name=id";
    if (c != nullptr)
        p << " value='" << value(c->id) << "'>";
    else
        writeProposedId(p);

    p << "<TR><TD>負責員工: <TD><select name=createdBy>";
    {
        oid_t chosen = c != nullptr ? c->createdBy.getOid() : fill.employee.getOid();
        vordaCursor<Employee> employees;
        employees.selectAll();
        for (Employee* e = employees.at(size_t(0)); e != nullptr; e = employees.next())
            p << "<option value=" << number(e->oid) << (oid_t(e->oid) == chosen ? " selected>" : ">")
              << value(e->name) << "</option>";
    }
    p << "</select>";

    dbQuery q1, q2, q3;
    vordaCursor<CustomerCategory> categories;
    vordaCursor<CustomerLevel> levels;
    vordaCursor<CustomerArea> areas;
    selectByCode(categories, q1);
    selectByCode(levels, q2);
    selectByCode(areas, q3);
    writeCaption(p, "<TR><TD>", settings.customerCategory, ":<TD><select name=category>");
    classOptions(p, categories, c != nullptr ? &c->category : nullptr);
    p << "</select>";
    writeCaption(p, "&nbsp;&nbsp;&nbsp;", settings.customerLevel, ": <select name=level>");
    classOptions(p, levels, c != nullptr ? &c->level : nullptr);
    p << "</select>";
    writeCaption(p, "&nbsp;&nbsp;&nbsp;", settings.customerArea, ": <select name=area>");
    classOptions(p, areas, c != nullptr ? &c->area : nullptr);
    p << "</select>";

    auto field = [&](const char* opening, const char* text) {
        p << opening;
        if (c != nullptr) p << " value='" << value(text) << "'";
    };
    field("<TR><TD>公司名稱:<TD><input type=text name=name size=100", c != nullptr ? c->name : nullptr);
    field("></TR><TR><TD>聯絡人:<TD><input type=text name=person", c != nullptr ? c->person : nullptr);
    field(">&nbsp;&nbsp;&nbsp;聯絡電話: <input type=text name=telephone", c != nullptr ? c->telephone : nullptr);
    field(">&nbsp;&nbsp;&nbsp;傳真: <input type=text name=fax", c != nullptr ? c->fax : nullptr);
    field("></TR><TR><TD>電郵:<TD><input type=text name=email size=100 ", c != nullptr ? c->email : nullptr);
    p << "></TR><TR><TD>網站:<TD><input type=text name=website size=100 ";
    if (c != nullptr)
        p << " value='" << value(c->website) << "'";
    else
        p << " value='http://'";
    field("></TR><TR><TD>地址:<TD><input type=text name=address size=100 ", c != nullptr ? c->address : nullptr);
    p << "></TR><TR><TD>客戶摘要:<TD><textarea name=remark rows=15 cols=80>";
    if (c != nullptr) p << value(c->remark);
    p << "</textarea></TR></TABLE>";
}

// A reference posted in a form: the number read from the variable; true when
// it names a record of T's table.
template <class T>
bool postedReference(WWWconnection& con, const char* name, dbReference<T>& ref)
{
    int64_t n = requestIntegerOr(con, name, 0);
    ref = n > 0 && n <= int64_t(UINT32_MAX) ? dbReference<T>(oid_t(n)) : dbReference<T>();
    return exists(ref);
}

// Copies the posted customer fields into `c` (the request's texts live until
// the page ends) and returns the error text for references that name no
// record of their table; empty when all are sound.
std::string readCustomer(WWWconnection& con, const BasicSettings& settings, Customer& c)
{
    c.id = requestTextOrEmpty(con, "id");
    c.name = requestTextOrEmpty(con, "name");
    c.person = requestTextOrEmpty(con, "person");
    c.telephone = requestTextOrEmpty(con, "telephone");
    c.fax = requestTextOrEmpty(con, "fax");
    c.address = requestTextOrEmpty(con, "address");
    c.email = requestTextOrEmpty(con, "email");
    c.website = requestTextOrEmpty(con, "website");
    c.remark = requestTextOrEmpty(con, "remark");
    std::string errors;
    if (!postedReference(con, "createdBy", c.createdBy)) errors += "負責員工錯誤.<BR>";
    if (!postedReference(con, "category", c.category)) errors += settings.customerCategory + "錯誤.<BR>";
    if (!postedReference(con, "level", c.level)) errors += settings.customerLevel + "錯誤.<BR>";
    if (!postedReference(con, "area", c.area)) errors += settings.customerArea + "錯誤.<BR>";
    return errors;
}

void listButton(Page& p, const char* opening, int32_t session, const char* closing)
{
    p << opening << number(session) << closing;
}

// A customer of the list: the time of its last change and its object id.
struct Match {
    int32_t lastUpdate;
    oid_t oid;
};

// The list's order: the most recently changed customer first; customers
// changed in the same second by their object ids, the newest first, so that
// the pages of a list never share or skip a customer.
bool listedBefore(const Match& a, const Match& b)
{
    return a.lastUpdate != b.lastUpdate ? a.lastUpdate > b.lastUpdate : a.oid > b.oid;
}

// The customers that meet the condition (all of them without one), in
// table order.
void collectMatches(dbQuery& condition, bool hasCondition, std::vector<Match>& matches)
{
    dbCursor<Customer> cursor;
    size_t n = hasCondition ? cursor.select(condition) : cursor.selectAll();
    matches.reserve(n);
    if (!cursor.isEmpty()) do {
            matches.push_back({cursor->lastUpdate.stamp, cursor.getOid()});
        } while (cursor.next() != nullptr);
}

// Puts the rows of the page shown, and only those, into the list's order:
// one pass over the matches instead of sorting them all.
void putPageInOrder(std::vector<Match>& matches, const ListPage& list)
{
    auto first = matches.begin() + list.index;
    auto last = matches.begin() + list.last();
    std::nth_element(matches.begin(), first, matches.end(), listedBefore);
    std::partial_sort(first, last, matches.end(), listedBefore);
}

// Adds one criterion to the condition: `alone` when it is the first one,
// `joined` (" and ...") after another.
template <class V>
void addCriterion(dbQuery& query, bool& started, const char* alone, const char* joined, const V& variable)
{
    if (started)
        query.add(joined);
    else
        query = alone;
    query, variable;
    started = true;
}

}  // namespace

bool searchCustomer(WWWconnection& con)
{
    int32_t session = checkSession(con, permCustomers);
    if (session == 0) return true;
    int64_t index = requestInteger(con, "index", 0);
    BasicSettings settings = basicSettings();
    dbReference<Employee> me = sessionEmployee(session);
    int32_t permission = permissionOf(me);
    bool allCustomers = (permission & permOtherEmployeesCustomers) != 0;

    pageHeader(con, "客戶列表", "formatTable('oTable');inputForm['name'].focus()");
    Page p(con);
    p << "<CENTER><FORM name=inputForm action='' method=post>"
      << "<INPUT type=hidden value=searchCustomer name=page>"
      << "<INPUT type=hidden value=" << number(session) << " name=session>";

    // Every criterion is bound to the query, never pasted into its text.
    dbQuery query;
    bool started = false;
    int64_t category = requestIntegerOr(con, "category", 0);
    int64_t level = requestIntegerOr(con, "level", 0);
    int64_t area = requestIntegerOr(con, "area", 0);
    dbQuery q1, q2, q3;
    vordaCursor<CustomerCategory> categories;
    vordaCursor<CustomerLevel> levels;
    vordaCursor<CustomerArea> areas;
    selectByCode(categories, q1);
    selectByCode(levels, q2);
    selectByCode(areas, q3);
    auto choice = [&](auto& values, const std::string& caption, int64_t chosen, const char* any, const char* anyOther,
                      const char* closing) {
        p << value(caption) << ":" << (chosen == 0 ? any : anyOther);
        for (auto* v = values.at(size_t(0)); v != nullptr; v = values.next())
            p << "<option value=" << number(v->oid) << (v->oid == chosen ? " selected>" : ">") << value(v->name)
              << "</option>";
        p << closing;
    };
    // A classification criterion compares the reference itself, so that no
    // customer's reference is followed; a number that cannot be an object
    // id matches no customer.
    bool matchesNothing = false;
    dbReference<CustomerCategory> categoryRef;
    dbReference<CustomerLevel> levelRef;
    dbReference<CustomerArea> areaRef;
    auto byValue = [&](int64_t chosen, auto& ref, const char* alone, const char* joined) {
        if (chosen == 0) return;
        if (chosen < 0 || chosen > int64_t(UINT32_MAX)) {
            matchesNothing = true;
            return;
        }
        ref = std::remove_reference_t<decltype(ref)>(oid_t(chosen));
        addCriterion(query, started, alone, joined, ref);
    };
    byValue(category, categoryRef, "category=", " and category=");
    choice(categories, settings.customerCategory, category, "<select name=category><option value=0 selected>所有</option>",
           "<select name=category><option value=0 >所有</option>", "</select>");
    byValue(level, levelRef, "level=", " and level=");
    choice(levels, settings.customerLevel, level, "<select name=level><option value=0 selected>所有</option>",
           "<select name=level><option value=0 >所有</option>", "</select>");
    byValue(area, areaRef, "area=", " and area=");
    choice(areas, settings.customerArea, area, "<select name=area><option value=0 selected>所有</option>",
           "<select name=area><option value=0 >所有</option>", "</select><P>");

    const char* id = requestTextOrEmpty(con, "id");
    const char* name = requestTextOrEmpty(con, "name");
    const char* person = requestTextOrEmpty(con, "person");
    const char* employee = requestTextOrEmpty(con, "employee");
    std::string namePattern = std::string("%") + name + "%";
    std::string personPattern = std::string("%") + person + "%";
    std::string employeePattern = std::string("%") + employee + "%";
    const char* nameLike = namePattern.c_str();
    const char* personLike = personPattern.c_str();
    const char* employeeLike = employeePattern.c_str();
    if (*id != '\0') {
        p << "編號: <INPUT size=10 name=id value=" << value(id) << ">";
        addCriterion(query, started, "id=", " and id=", &id);
    } else {
        p << "編號: <INPUT size=10 name=id>";
    }
    if (*name != '\0') {
        p << "公司名稱: <INPUT size=10 name=name value=" << value(name) << ">";
        addCriterion(query, started, "name like ", " and name like ", &nameLike);
    } else {
        p << "公司名稱: <INPUT size=10 name=name>";
    }
    if (*person != '\0') {
        p << "聯絡人: <INPUT size=10 name=person value=" << value(person) << ">";
        addCriterion(query, started, "person like ", " and person like ", &personLike);
    } else {
        p << "聯絡人: <INPUT size=10 name=person>";
    }
    if (allCustomers) {
        if (*employee != '\0') {
            p << "負責員工: <INPUT size=10 name=employee value=" << value(employee) << ">";
            // A customer without a responsible employee matches no name.
            addCriterion(query, started, "createdBy!=null and createdBy.name like ",
                         " and createdBy!=null and createdBy.name like ", &employeeLike);
        } else {
            p << "負責員工: <INPUT size=10 name=employee>";
        }
    }
    listButton(p,
               "<P><INPUT class=button type=submit value=尋找><input class=button type=button value='加入' "
               "onClick=\"location='?page=insertCustomerForm&session=",
               session, "';\">");

    if (!allCustomers) addCriterion(query, started, "createdBy=", " and createdBy=", me);
    std::vector<Match> matches;
    if (!matchesNothing) collectMatches(query, started, matches);
    int64_t total = int64_t(matches.size());

    if (total == 0) {
        p << "<P>沒有資料";
    } else {
        ListPage list = makeListPage(index, settings.rows, total);
        putPageInOrder(matches, list);
        auto button = [&](const char* opening, int64_t to) {
            p << opening << number(session) << "&index=" << number(to);
            if (category != 0) p << "&category=" << number(category);
            if (level != 0) p << "&level=" << number(level);
            if (area != 0) p << "&area=" << number(area);
            if (*id != '\0') p << "&id=" << value(id);
            if (*name != '\0') p << "&name=" << value(name);
            if (*person != '\0') p << "&person=" << value(person);
            if (*employee != '\0') p << "&employee=" << value(employee);
            p << "'\">";
        };
        if (list.hasPrevious())
            button("<input class=button type=button value='上一頁' onClick=\"location='?page=searchCustomer&session=",
                   list.previousIndex());
        if (list.hasNext())
            button("<input class=button type=button value='下一頁' onClick=\"location='?page=searchCustomer&session=",
                   list.nextIndex());
        p.finish();
        writeListRange(con, list);

        p << "<P><Table id=oTable width=780 border=1><TR><TH width=50>" << value(settings.customerCategory)
          << "<TH width=50>" << value(settings.customerLevel) << "<TH width=50>" << value(settings.customerArea)
          << "<TH width=50>編號<TH>公司名稱<TH width=100>聯絡人<TH width=100>負責員工<TH width=60>功能</TR>";
        vordaCursor<Employee> employees;
        employees.selectAll();
        dbCursor<Customer> customers;
        for (int64_t at = list.index; at < list.last(); at++) {
            const Customer* c = customers.at(matches[size_t(at)].oid);
            const CustomerCategory* rowCategory = rowOf(categories, c->category);
            const CustomerLevel* rowLevel = rowOf(levels, c->level);
            const CustomerArea* rowArea = rowOf(areas, c->area);
            const Employee* responsible = rowOf(employees, c->createdBy);
            p << "<TR><TD>" << value(rowCategory != nullptr ? rowCategory->name : nullptr)
              << "<TD>" << value(rowLevel != nullptr ? rowLevel->name : nullptr)
              << "<TD>" << value(rowArea != nullptr ? rowArea->name : nullptr)
              << "<TD>" << value(c->id) << "<TD>" << value(c->name) << "<TD>" << value(c->person)
              << "<TD>" << value(responsible != nullptr ? responsible->name : nullptr)
              << "<TD><a href='?page=updateCustomerForm&session=" << number(session) << "&oid=" << number(c->oid)
              << "'>更改</a>";
            if ((permission & permDeleteCustomers) != 0)
                p << " / <a href='?page=deleteCustomerForm&session=" << number(session) << "&oid=" << number(c->oid)
                  << "'>刪除</a>";
            p << "</TR>";
        }
        p << "</TABLE>";
    }
    p << "</FORM><P></CENTER>";
    p.finish();
    return pageFooter(con);
}

bool insertCustomerForm(WWWconnection& con)
{
    int32_t session = checkSession(con, permCustomers);
    if (session == 0) return true;
    BasicSettings settings = basicSettings();
    FormFill fill;
    fill.employee = sessionEmployee(session);
    pageHeader(con, "加入客戶", "inputForm['name'].focus()");
    Page(con) << "<CENTER><FORM name=inputForm action='' method=post>"
              << "<INPUT type=hidden value=insertCustomer name=page>"
              << "<INPUT type=hidden value=" << number(session) << " name=session>";
    customerFormFields(con, settings, fill);
    {
        Page p(con);
        p << "<P><INPUT class=button type=submit value=加入>";
        listButton(p, "<input type=button class=button value='返回列表' onClick=\"location='?page=searchCustomer&session=",
                   session, "';\">");
        p << "</FORM></CENTER>";
    }
    return pageFooter(con);
}

bool insertCustomer(WWWconnection& con)
{
    int32_t session = checkSession(con, permCustomers);
    if (session == 0) return true;
    BasicSettings settings = basicSettings();
    Customer customer;
    std::string errors = readCustomer(con, settings, customer);
    if (!errors.empty()) {
        // Nothing is stored; the form comes back with what was sent.
        pageHeader(con, "無法加入客戶");
        redMessage(con, errors);
        Page(con) << "<CENTER><FORM name=inputForm action='' method=post>"
                  << "<INPUT type=hidden value=insertCustomer name=page>"
                  << "<INPUT type=hidden value=" << number(session) << " name=session>";
        FormFill fill;
        fill.customer = &customer;
        customerFormFields(con, settings, fill);
        Page p(con);
        p << "<P><INPUT class=button type=submit value=加入>";
        listButton(p, "<input type=button class=button value='返回列表' onClick=\"location='?page=searchCustomer&session=",
                   session, "';\">");
        p << "</FORM></CENTER>";
        p.finish();
        return pageFooter(con);
    }

    customer.createDate = customer.lastUpdate = dbDateTime::current();
    customer.modifiedBy = sessionEmployee(session);
    oid_t oid = dbCursor<Customer>::insert(customer);
    {
        dbCursor<Customer> stored(dbCursorForUpdate);
        stored.at(oid);
        stored->oid = int32_t(oid);
        stored.update();
    }
    customer.oid = int32_t(oid);

    pageHeader(con, "成功加入客戶");
    customerView(con, settings, customer);
    {
        Page p(con);
        p << "<P><CENTER><input type=button class=button value='加入新資料' "
             "onClick=\"location='?page=insertCustomerForm&session="
          << number(session)
          << "';\"><input type=button class=button value='返回列表' onClick=\"location='?page=searchCustomer&session="
          << number(session) << "';\">" << "</CENTER>";
    }
    return pageFooter(con);
}

bool updateCustomerForm(WWWconnection& con)
{
    int32_t session = checkSession(con, permCustomers);
    if (session == 0) return true;
    dbCursor<Customer> cursor;
    int32_t oid = 0;
    if (!findRequested(con, cursor, oid)) return errorPage(con, notFoundMessage);
    BasicSettings settings = basicSettings();
    pageHeader(con, "更改客戶");
    Page(con) << "<CENTER><FORM action='' method=post>"
              << "<INPUT type=hidden value=updateCustomer name=page>"
              << "<INPUT type=hidden value=" << number(oid) << " name=oid>"
              << "<INPUT type=hidden value=" << number(cursor->version) << " name=version>"
              << "<INPUT type=hidden value=" << number(session) << " name=session>";
    FormFill fill;
    fill.customer = cursor.get();
    fill.stored = true;
    customerFormFields(con, settings, fill);
    Page(con) << "<P><INPUT class=button type=submit value=更改>"
              << "<input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)></FORM></CENTER>";
    return pageFooter(con);
}

bool updateCustomer(WWWconnection& con)
{
    int32_t session = checkSession(con, permCustomers);
    if (session == 0) return true;
    dbCursor<Customer> cursor(dbCursorForUpdate);
    int32_t oid = 0;
    if (!findRequested(con, cursor, oid)) return errorPage(con, notFoundMessage);
    BasicSettings settings = basicSettings();
    dbReference<Employee> me = sessionEmployee(session);

    bool stale = !versionMatches(con, cursor->version, true);
    // The posted values over the stored record (dates and last editor stay).
    Customer posted = *cursor.get();
    std::string errors = stale ? std::string(versionMessage) : readCustomer(con, settings, posted);
    if (!errors.empty()) {
        // Nothing is stored. After a version conflict the form shows the
        // stored record (the other employee's change), else what was sent.
        pageHeader(con, "更改客戶錯誤");
        redMessage(con, errors);
        Page(con) << "<CENTER><FORM action='' method=post>"
                  << "<INPUT type=hidden value=updateCustomer name=page>"
                  << "<INPUT type=hidden value=" << number(session) << " name=session>"
                  << "<INPUT type=hidden value=" << number(oid) << " name=oid>"
                  << "<INPUT type=hidden value=" << number(cursor->version) << " name=version>";
        FormFill fill;
        fill.customer = stale ? cursor.get() : &posted;
        fill.stored = true;
        customerFormFields(con, settings, fill);
        Page p(con);
        p << "<P><INPUT class=button type=submit value=更改>";
        listButton(p, "<input type=button class=button value='返回列表' onClick=\"location='?page=searchCustomer&session=",
                   session, "';\"></FORM></CENTER>");
        p.finish();
        return pageFooter(con);
    }

    posted.modifiedBy = me;
    posted.lastUpdate = dbDateTime::current();
    posted.version = int8_t(uint8_t(cursor->version) + 1);
    *cursor.get() = posted;
    cursor.update();

    pageHeader(con, "成功更改客戶");
    customerView(con, settings, posted);
    {
        Page p(con);
        listButton(p,
                   "<P><CENTER><input type=button class=button value='返回列表' "
                   "onClick=\"location='?page=searchCustomer&session=",
                   session, "';\"></CENTER>");
    }
    return pageFooter(con);
}

bool deleteCustomerForm(WWWconnection& con)
{
    int32_t session = checkSession(con, permDeleteCustomers);
    if (session == 0) return true;
    dbCursor<Customer> cursor;
    int32_t oid = 0;
    if (!findRequested(con, cursor, oid)) return errorPage(con, notFoundMessage);
    BasicSettings settings = basicSettings();
    pageHeader(con, "刪除客戶確認");
    customerView(con, settings, *cursor.get());
    Page(con) << "<P><CENTER>" << "是否確認刪除以上確認" << "<P>"
              << "<input type=button class=button value='是, 立即刪除' onClick=\"location='?page=deleteCustomer&session="
              << number(session) << "&oid=" << number(oid) << "';\">"
              << "<input type=button class=button value='返回上一頁' onClick=javascript:history.go(-1)></CENTER>";
    return pageFooter(con);
}

bool deleteCustomer(WWWconnection& con)
{
    int32_t session = checkSession(con, permDeleteCustomers);
    if (session == 0) return true;
    dbCursor<Customer> cursor(dbCursorForUpdate);
    int32_t oid = 0;
    if (!findRequested(con, cursor, oid)) return errorPage(con, notFoundMessage);
    BasicSettings settings = basicSettings();
    pageHeader(con, "成功刪除客戶");
    Page(con) << "<CENTER>以下客戶己成功被刪除:<P>";
    customerView(con, settings, *cursor.get());
    {
        Page p(con);
        listButton(p,
                   "<P><input type=button class=button value='返回列表' onClick=\"location='?page=searchCustomer&session=",
                   session, "';\"></CENTER>");
    }
    cursor.remove();
    return pageFooter(con);
}
