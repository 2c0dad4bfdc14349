// The customer pages over HTTP.

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/page_framework.h"
#include "app/tables.h"
#include "engine286/cursor.h"
#include "engine286/query.h"
#include "support/app_server.h"

namespace {

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

size_t count(const std::string& body, const std::string& text)
{
    size_t n = 0;
    for (size_t at = body.find(text); at != std::string::npos; at = body.find(text, at + 1)) n++;
    return n;
}

std::string str(int64_t n) { return std::to_string(n); }

std::string day(int32_t stamp)
{
    time_t t = stamp;
    std::tm parts;
    localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d", &parts);
    return text;
}

// The object id of the record of T with that name (0 when there is none).
template <class T>
int32_t oidOf(AppServer& app, const std::string& name)
{
    int32_t oid = 0;
    dbCursor<T> c;
    if (c.selectAll() != 0) do {
            if (name == c->name) oid = int32_t(c.getOid());
        } while (c.next() != nullptr);
    app.database().commit();
    return oid;
}

struct NewCustomer {
    std::string id = "30000";
    std::string name = "name";
    std::string person = "person";
    int32_t createdBy = 0;
    int32_t category = 0;
    int32_t level = 0;
    int32_t area = 0;
    int32_t lastUpdate = 1000000;
    int8_t version = 0;
};

struct Stored {
    bool found = false;
    std::string id, name, person, telephone, website, address, remark;
    oid_t createdBy = 0, modifiedBy = 0, category = 0, level = 0, area = 0;
    int32_t oid = 0, createDate = 0, lastUpdate = 0;
    int version = 0;
};

class CustomerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        admin = oidOf<Employee>(app, "Adminstrator");
        software = oidOf<CustomerCategory>(app, "軟件");
        hardware = oidOf<CustomerCategory>(app, "硬件");
        vip = oidOf<CustomerLevel>(app, "VIP");
        contact = oidOf<CustomerLevel>(app, "接觸");
        hongKong = oidOf<CustomerArea>(app, "香港");
        taiwan = oidOf<CustomerArea>(app, "台灣");
        vendor = stored("10000").oid;
        session = app.login("admin", "kwirt");
        ASSERT_GT(session, 0);
        s = str(session);
    }

    int32_t add(NewCustomer c)
    {
        if (c.createdBy == 0) c.createdBy = admin;
        Customer r;
        r.id = c.id.c_str();
        r.name = c.name.c_str();
        r.person = c.person.c_str();
        r.createdBy = r.modifiedBy = dbReference<Employee>(oid_t(c.createdBy));
        r.category = dbReference<CustomerCategory>(oid_t(c.category != 0 ? c.category : software));
        r.level = dbReference<CustomerLevel>(oid_t(c.level != 0 ? c.level : vip));
        r.area = dbReference<CustomerArea>(oid_t(c.area != 0 ? c.area : hongKong));
        r.createDate = r.lastUpdate = dbDateTime(c.lastUpdate);
        r.version = c.version;
        oid_t oid = dbCursor<Customer>::insert(r);
        dbCursor<Customer> u(dbCursorForUpdate);
        u.at(oid);
        u->oid = int32_t(oid);
        u.update();
        app.database().commit();
        return int32_t(oid);
    }

    Stored stored(const std::string& id)
    {
        Stored out;
        const char* key = id.c_str();
        dbQuery q;
        q = "id=", &key;
        dbCursor<Customer> c;
        if (c.select(q) != 0) {
            auto text = [](const char* t) { return std::string(t != nullptr ? t : ""); };
            out = {true, text(c->id), text(c->name), text(c->person), text(c->telephone), text(c->website),
                   text(c->address), text(c->remark), c->createdBy.getOid(), c->modifiedBy.getOid(),
                   c->category.getOid(), c->level.getOid(), c->area.getOid(), c->oid, c->createDate.stamp,
                   c->lastUpdate.stamp, c->version};
        }
        app.database().commit();
        return out;
    }

    size_t customerCount()
    {
        dbCursor<Customer> c;
        size_t n = c.selectAll();
        app.database().commit();
        return n;
    }

    void removeAllCustomers()
    {
        dbCursor<Customer> c(dbCursorForUpdate);
        if (c.selectAll() != 0) c.removeAllSelected();
        app.database().commit();
    }

    void setRows(int rows)
    {
        dbCursor<BasicSetup> c(dbCursorForUpdate);
        c.selectAll();
        c->row = int16_t(rows);
        c.update();
        app.database().commit();
    }

    HttpReply get(const std::string& query, int32_t as = 0) { return app.get(query + "&session=" + str(as != 0 ? as : session)); }
    HttpReply post(std::map<std::string, std::string> fields, int32_t as = 0)
    {
        fields["session"] = str(as != 0 ? as : session);
        return app.post(fields);
    }
    // The fields of the customer form, as a browser posts them.
    std::map<std::string, std::string> form(const std::string& page, const std::string& id, const std::string& name)
    {
        return {{"page", page},         {"id", id},           {"name", name},          {"person", "Mr Lee"},
                {"telephone", "123"},   {"fax", "456"},       {"email", "a@b.example"}, {"website", "http://b.example"},
                {"address", "1 Road"},  {"remark", "notes"},  {"createdBy", str(admin)}, {"category", str(hardware)},
                {"level", str(contact)}, {"area", str(taiwan)}};
    }

    AppServer app;
    int32_t admin = 0, software = 0, hardware = 0, vip = 0, contact = 0, hongKong = 0, taiwan = 0, vendor = 0;
    int32_t session = 0;
    std::string s;
};

TEST_F(CustomerTest, ListOf45PagesByTwentyNewestFirst)
{
    {
        dbCursor<Customer> seeded(dbCursorForUpdate);
        seeded.at(oid_t(vendor));
        seeded->lastUpdate = dbDateTime(1000);
        seeded.update();
        app.database().commit();
    }
    // Customers changed in the same second are listed newest first.
    for (int i = 0; i < 44; i++) add({.id = str(20000 + i), .name = "c" + str(i), .lastUpdate = 1000000 + i / 10});
    HttpReply r = get("page=searchCustomer");
    EXPECT_TRUE(has(r.body, "<title>客戶列表</title>"));
    EXPECT_TRUE(has(r.body, "onLoad=\"formatTable(&#39;oTable&#39;);inputForm[&#39;name&#39;].focus()\">"));
    EXPECT_TRUE(has(r.body, "<CENTER><FORM name=inputForm action='' method=post><INPUT type=hidden value=searchCustomer "
                            "name=page><INPUT type=hidden value=" + s +
                                " name=session>類別:<select name=category><option value=0 selected>所有</option><option "
                                "value=" + str(software) + ">軟件</option>"));
    EXPECT_TRUE(has(r.body, "</select>級別:<select name=level><option value=0 selected>所有</option>"));
    EXPECT_TRUE(has(r.body, "</select>地區:<select name=area><option value=0 selected>所有</option>"));
    EXPECT_TRUE(has(r.body, "</select><P>編號: <INPUT size=10 name=id>公司名稱: <INPUT size=10 name=name>聯絡人: <INPUT "
                            "size=10 name=person>負責員工: <INPUT size=10 name=employee><P><INPUT class=button "
                            "type=submit value=尋找><input class=button type=button value='加入' "
                            "onClick=\"location='?page=insertCustomerForm&session=" + s + "';\">"));
    EXPECT_FALSE(has(r.body, "上一頁"));
    EXPECT_TRUE(has(r.body, "<input class=button type=button value='下一頁' onClick=\"location='?page=searchCustomer&session=" +
                                s + "&index=20'\"><P>總數: 45 --- 顯示: 1 至 20<P><P><Table id=oTable width=780 "
                                "border=1><TR><TH width=50>類別<TH width=50>級別<TH width=50>地區<TH width=50>編號<TH>公司名稱"
                                "<TH width=100>聯絡人<TH width=100>負責員工<TH width=60>功能</TR><TR><TD>軟件<TD>VIP<TD>香港"
                                "<TD>20043<TD>c43<TD>person<TD>Adminstrator<TD><a href='?page=updateCustomerForm&session=" + s));
    EXPECT_EQ(count(r.body, "'>更改</a>"), 20u);
    EXPECT_TRUE(has(r.body, "</TR></TABLE></FORM><P></CENTER></body></html>"));

    r = get("page=searchCustomer&index=40");
    EXPECT_TRUE(has(r.body, "<input class=button type=button value='上一頁' onClick=\"location='?page=searchCustomer&session=" +
                                s + "&index=20'\"><P>總數: 45 --- 顯示: 41 至 45<P>"));
    EXPECT_FALSE(has(r.body, "下一頁"));
    // The vendor, changed longest ago, comes last.
    EXPECT_TRUE(has(r.body, "<TR><TD>軟件<TD>VIP<TD>香港<TD>10000<TD>雲杉資訊科技有限公司<TD>客戶服務部<TD>Adminstrator<TD>"
                            "<a href='?page=updateCustomerForm&session=" + s + "&oid=" + str(vendor) +
                                "'>更改</a> / <a href='?page=deleteCustomerForm&session=" + s + "&oid=" + str(vendor) +
                                "'>刪除</a></TR></TABLE>"));

    std::set<std::string> seen;
    for (int index : {0, 20, 40}) {
        std::string body = get("page=searchCustomer&index=" + str(index)).body;
        for (size_t at = body.find("updateCustomerForm"); at != std::string::npos; at = body.find("updateCustomerForm", at + 1))
            seen.insert(body.substr(at, body.find('\'', at) - at));
    }
    EXPECT_EQ(seen.size(), 45u);  // no customer twice, none left out

    // Indices and row counts the pages never make.
    r = get("page=searchCustomer&index=99999999999");
    EXPECT_TRUE(has(r.body, "顯示: 41 至 45<P>"));
    EXPECT_EQ(count(r.body, "'>更改</a>"), 5u);
    r = get("page=searchCustomer&index=-20");
    EXPECT_TRUE(has(r.body, "顯示: 1 至 20<P>"));
    EXPECT_EQ(get("page=searchCustomer&index=2x").status, "HTTP/1.1 404 Not found");
    setRows(0);
    r = get("page=searchCustomer&index=44");
    EXPECT_TRUE(has(r.body, "&index=43'\"><P>總數: 45 --- 顯示: 45 至 45<P>"));
    EXPECT_EQ(count(r.body, "'>更改</a>"), 1u);
}

TEST_F(CustomerTest, CriteriaCombineAndTravelWithThePages)
{
    int32_t bob = app.addEmployee("bob", "secret", 1 | 8, "Bob O'Hara");
    for (int i = 0; i < 25; i++)
        add({.id = str(20000 + i), .name = "Acme " + str(i), .person = "Lee", .category = hardware, .lastUpdate = 5000 + i});
    add({.id = "21000", .name = "Acme X", .person = "Lee"});                         // another category
    add({.id = "21001", .name = "Other", .person = "Lee", .category = hardware});     // another name
    add({.id = "21002", .name = "Acme Y", .person = "Wong", .category = hardware});   // another person
    int32_t bobs = add({.id = "21003", .name = "It's Bob's", .person = "Lee", .createdBy = bob, .level = contact,
                        .area = taiwan});

    {
        // A customer without any reference: no criterion follows a reference.
        Customer orphan;
        orphan.id = "21004";
        orphan.name = "Orphan";
        dbCursor<Customer>::insert(orphan);
        app.database().commit();
    }

    std::string criteria = "&category=" + str(hardware) + "&name=Acme&person=Lee";
    HttpReply r = get("page=searchCustomer" + criteria);
    EXPECT_TRUE(has(r.body, "<option value=0 >所有</option><option value=" + str(software) + ">軟件</option><option value=" +
                                str(hardware) + " selected>硬件</option>"));
    EXPECT_TRUE(has(r.body, "編號: <INPUT size=10 name=id>公司名稱: <INPUT size=10 name=name value=Acme>聯絡人: <INPUT "
                            "size=10 name=person value=Lee>負責員工: <INPUT size=10 name=employee>"));
    EXPECT_TRUE(has(r.body, "&index=20" + criteria + "'\"><P>總數: 25 --- 顯示: 1 至 20<P>"));
    r = get("page=searchCustomer&index=20" + criteria);
    EXPECT_TRUE(has(r.body, "value='上一頁' onClick=\"location='?page=searchCustomer&session=" + s + "&index=0" + criteria +
                            "'\"><P>總數: 25 --- 顯示: 21 至 25<P>"));

    struct Case {
        std::string query;
        size_t matches;
    } cases[] = {
        {"&id=10000", 1},
        {"&level=" + str(contact) + "&area=" + str(taiwan), 1},
        {"&area=" + str(taiwan) + "&name=" + urlEncode("It's"), 1},
        {"&employee=" + urlEncode("O'Hara"), 1},
        {"&employee=Admin&person=Lee", 27},
        {"&category=abc", 31},  // not a number: any category
        {"&name=%25", 31},      // the pattern's own wild cards still work
        {"&name=" + std::string(20000, 'a'), 0},
        {"&name=" + urlEncode("' or name<>'"), 0},
        {"&category=99999999999", 0},
    };
    for (const Case& c : cases) {
        r = get("page=searchCustomer" + c.query);
        if (c.matches == 0)
            EXPECT_TRUE(has(r.body, "<P>沒有資料</FORM>")) << c.query;
        else
            EXPECT_TRUE(has(r.body, "<P>總數: " + str(int64_t(c.matches)) + " ---")) << c.query;
    }
    EXPECT_TRUE(has(get("page=searchCustomer&name=Orphan").body, "<TR><TD><TD><TD><TD>21004<TD>Orphan<TD><TD><TD><a href"));
    r = get("page=searchCustomer&employee=" + urlEncode("O'Hara"));
    EXPECT_TRUE(has(r.body, "負責員工: <INPUT size=10 name=employee value=O&#39;Hara>"));
    EXPECT_TRUE(has(r.body, "<TR><TD>軟件<TD>接觸<TD>台灣<TD>21003<TD>It&#39;s Bob&#39;s<TD>Lee<TD>Bob O&#39;Hara<TD><a "
                            "href='?page=updateCustomerForm&session=" + s + "&oid=" + str(bobs) + "'>更改</a>"));
}

TEST_F(CustomerTest, WithoutRight32OnlyOwnCustomersWithoutRight16NoDeletion)
{
    int32_t clerk = app.addEmployee("clerk", "secret", 1 | 8, "Clerk");
    app.addEmployee("deleter", "secret", 1 | 8 | 16, "Deleter");
    int32_t own = add({.id = "40000", .name = "Mine", .createdBy = clerk});
    int32_t c = app.login("clerk", "secret");
    int32_t d = app.login("deleter", "secret");

    HttpReply r = get("page=searchCustomer", c);
    EXPECT_TRUE(has(r.body, "<P>總數: 1 ---"));
    EXPECT_TRUE(has(r.body, "<TD>40000<TD>Mine<TD>person<TD>Clerk<TD><a href='?page=updateCustomerForm&session=" + str(c) +
                                "&oid=" + str(own) + "'>更改</a></TR>"));
    EXPECT_FALSE(has(r.body, "刪除"));
    EXPECT_FALSE(has(r.body, "name=employee"));
    EXPECT_TRUE(has(get("page=searchCustomer", d).body, "<P>沒有資料"));

    // Crafted criteria cannot reach other employees' customers.
    for (std::string attack : {"&name=" + urlEncode("x' or name like '%"), "&name=" + urlEncode("%' or createdBy<>null or name='"),
                               "&person=" + urlEncode("' or 1=1 or person='"), "&id=" + urlEncode("' or id<>'"),
                               "&category=" + urlEncode("0 or oid>0"), std::string("&employee=Admin")}) {
        r = get("page=searchCustomer" + attack, c);
        EXPECT_FALSE(has(r.body, "雲杉")) << attack;
        EXPECT_FALSE(has(r.body, "總數: 2")) << attack;
    }

    // The form and action pages do not look at the responsible employee.
    EXPECT_TRUE(has(get("page=updateCustomerForm&oid=" + str(vendor), c).body, "<title>更改客戶</title>"));
    for (const char* page : {"deleteCustomerForm", "deleteCustomer"})
        EXPECT_TRUE(has(get(std::string("page=") + page + "&oid=" + str(vendor), c).body, "員工沒有使用這功能的權限."));
    r = get("page=searchCustomer&name=Mine", app.login("admin", "kwirt"));
    EXPECT_TRUE(has(r.body, "&oid=" + str(own) + "'>更改</a> / <a href='?page=deleteCustomerForm"));
    EXPECT_TRUE(stored("10000").found);
}

TEST_F(CustomerTest, InsertFormProposesIdsAndInsertStoresTheCustomer)
{
    EXPECT_TRUE(has(get("page=insertCustomerForm").body, "name=id value='10001'>"));  // after the vendor's 10000
    removeAllCustomers();
    HttpReply r = get("page=insertCustomerForm");
    EXPECT_TRUE(has(r.body, "<title>加入客戶</title>"));
    EXPECT_TRUE(has(r.body, "onLoad=\"inputForm[&#39;name&#39;].focus()\">"));
    EXPECT_TRUE(has(r.body,
                    "<CENTER><FORM name=inputForm action='' method=post><INPUT type=hidden value=insertCustomer name=page>"
                    "<INPUT type=hidden value=" + s + " name=session><P><TABLE bgcolor=#FFFFCC><TR><TD width=110>編號:<TD>"
                    "<input type=text name=id value='10000'><TR><TD>負責員工: <TD><select name=createdBy><option value=" +
                        str(admin) + " selected>Adminstrator</option></select><TR><TD>類別:<TD><select "
                        "name=category><option value=" + str(software) + " selected>軟件</option><option value=" +
                        str(hardware) + ">硬件</option>"));
    EXPECT_TRUE(has(r.body, "</select>&nbsp;&nbsp;&nbsp;級別: <select name=level><option value="));
    EXPECT_TRUE(has(r.body, "</select>&nbsp;&nbsp;&nbsp;地區: <select name=area><option value=" + str(hongKong) +
                                " selected>香港</option>"));
    EXPECT_TRUE(has(r.body, "</select><TR><TD>公司名稱:<TD><input type=text name=name size=100></TR><TR><TD>聯絡人:<TD><input "
                            "type=text name=person>&nbsp;&nbsp;&nbsp;聯絡電話: <input type=text "
                            "name=telephone>&nbsp;&nbsp;&nbsp;傳真: <input type=text name=fax></TR><TR><TD>電郵:<TD><input "
                            "type=text name=email size=100 ></TR><TR><TD>網站:<TD><input type=text name=website size=100  "
                            "value='http://'></TR><TR><TD>地址:<TD><input type=text name=address size=100 ></TR><TR><TD>"
                            "客戶摘要:<TD><textarea name=remark rows=15 cols=80></textarea></TR></TABLE><P><INPUT "
                            "class=button type=submit value=加入><input type=button class=button value='返回列表' "
                            "onClick=\"location='?page=searchCustomer&session=" + s + "';\"></FORM></CENTER></body></html>"));

    int32_t before = int32_t(std::time(nullptr));
    r = post(form("insertCustomer", "10000", "<New> & Co"));
    EXPECT_TRUE(has(r.body, "<title>成功加入客戶</title>"));
    EXPECT_TRUE(has(r.body, "<CENTER><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>編號:<TD>10000<TR><TD>負責員工:<TD>"
                            "Adminstrator<TR><TD>類別:<TD>硬件<TR><TD>級別:<TD>接觸<TR><TD>地區:<TD>台灣<TR><TD>公司名稱:<TD>"
                            "&lt;New&gt; &amp; Co<TR><TD>聯絡人:<TD>Mr Lee<TR><TD>聯絡電腦:<TD>123<TR><TD>傳真:<TD>456<TR><TD>"
                            "電郵:<TD>a@b.example<TR><TD>網站:<TD>http://b.example</TABLE></CENTER><P><CENTER><input "
                            "type=button class=button value='加入新資料' onClick=\"location='?page=insertCustomerForm&session=" +
                                s + "';\"><input type=button class=button value='返回列表' "
                                "onClick=\"location='?page=searchCustomer&session=" + s + "';\"></CENTER></body></html>"));
    Stored n = stored("10000");
    ASSERT_TRUE(n.found);
    EXPECT_EQ(n.name, "<New> & Co");
    EXPECT_EQ(n.address, "1 Road");
    EXPECT_EQ(n.remark, "notes");
    EXPECT_EQ(n.version, 0);
    EXPECT_EQ(n.createdBy, oid_t(admin));
    EXPECT_EQ(n.modifiedBy, oid_t(admin));
    EXPECT_EQ(n.category, oid_t(hardware));
    EXPECT_EQ(n.area, oid_t(taiwan));
    EXPECT_GE(n.createDate, before);
    EXPECT_EQ(n.lastUpdate, n.createDate);
    EXPECT_GT(n.oid, 0);
    EXPECT_TRUE(has(get("page=updateCustomerForm&oid=" + str(n.oid)).body, "value='&lt;New&gt; &amp; Co'"));

    EXPECT_TRUE(has(get("page=insertCustomerForm").body, "name=id value='10001'>"));
    post(form("insertCustomer", "abc", "text id"));
    EXPECT_TRUE(has(get("page=insertCustomerForm").body, "<input type=text name=id><TR><TD>負責員工"));
}

TEST_F(CustomerTest, UpdateKeepsVersionsApart)
{
    int32_t oid = add({.id = "50000", .name = "Before", .lastUpdate = 86400 * 365 * 40});
    std::string o = str(oid);
    HttpReply r = get("page=updateCustomerForm&oid=" + o);
    EXPECT_TRUE(has(r.body, "<title>更改客戶</title>"));
    EXPECT_TRUE(has(r.body, "<CENTER><FORM action='' method=post><INPUT type=hidden value=updateCustomer name=page><INPUT "
                            "type=hidden value=" + o + " name=oid><INPUT type=hidden value=0 name=version><INPUT type=hidden "
                            "value=" + s + " name=session>建立日期: " + day(86400 * 365 * 40) +
                                "&nbsp;&nbsp;&nbsp;最近更改員工: Adminstrator&nbsp;&nbsp;&nbsp;最近更改日期: " +
                                day(86400 * 365 * 40) + "<P><TABLE bgcolor=#FFFFCC><TR><TD width=110>編號:<TD><input "
                                "type=text name=id value='50000'>"));
    EXPECT_TRUE(has(r.body, "<option value=" + str(vip) + " selected>VIP</option>"));
    EXPECT_TRUE(has(r.body, "<input type=text name=name size=100 value='Before'></TR>"));
    EXPECT_TRUE(has(r.body, "</textarea></TR></TABLE><P><INPUT class=button type=submit value=更改><input type=button "
                            "class=button value='返回上一頁' onClick=javascript:history.go(-1)></FORM></CENTER></body></html>"));

    // The same form sent twice: the second one meets the first one's change.
    auto first = form("updateCustomer", "50000", "First");
    first["oid"] = o;
    first["version"] = "0";
    r = post(first);
    EXPECT_TRUE(has(r.body, "<title>成功更改客戶</title>"));
    EXPECT_TRUE(has(r.body, "<TR><TD>公司名稱:<TD>First<TR>"));
    EXPECT_TRUE(has(r.body, "</TABLE></CENTER><P><CENTER><input type=button class=button value='返回列表' "
                            "onClick=\"location='?page=searchCustomer&session=" + s + "';\"></CENTER></body></html>"));
    auto second = first;
    second["name"] = "Second";
    r = post(second);
    EXPECT_TRUE(has(r.body, "<title>更改客戶錯誤</title>"));
    EXPECT_TRUE(has(r.body, std::string("<P><CENTER><FONT COLOR=#FF0000>") + versionMessage +
                                "</FONT></CENTER><P><CENTER><FORM action='' method=post><INPUT type=hidden "
                                "value=updateCustomer name=page><INPUT type=hidden value=" + s +
                                " name=session><INPUT type=hidden value=" + o +
                                " name=oid><INPUT type=hidden value=1 name=version>建立日期: "));
    EXPECT_TRUE(has(r.body, "value='First'"));
    EXPECT_FALSE(has(r.body, "Second"));
    EXPECT_TRUE(has(r.body, "<input type=button class=button value='返回列表' onClick=\"location='?page=searchCustomer&session=" +
                                s + "';\"></FORM></CENTER></body></html>"));
    second["version"] = "";
    EXPECT_TRUE(has(post(second).body, versionMessage));
    Stored now = stored("50000");
    EXPECT_EQ(now.name, "First");
    EXPECT_EQ(now.version, 1);
    EXPECT_GE(now.lastUpdate, int32_t(std::time(nullptr)) - 60);
    EXPECT_EQ(now.createDate, 86400 * 365 * 40);

    // The version wraps from 127 to -128.
    add({.id = "50001", .version = 127});
    int32_t wrapped = stored("50001").oid;
    auto change = form("updateCustomer", "50001", "Wrapped");
    change["oid"] = str(wrapped);
    change["version"] = "127";
    EXPECT_TRUE(has(post(change).body, "成功更改客戶"));
    EXPECT_EQ(stored("50001").version, -128);
    EXPECT_TRUE(has(get("page=updateCustomerForm&oid=" + str(wrapped)).body, "value=-128 name=version>"));
    change["version"] = "-128";
    EXPECT_TRUE(has(post(change).body, "成功更改客戶"));
    EXPECT_EQ(stored("50001").version, -127);
}

TEST_F(CustomerTest, DeletionAndMissingCustomers)
{
    int32_t oid = add({.id = "60000", .name = "Gone"});
    std::string o = str(oid);
    HttpReply r = get("page=deleteCustomerForm&oid=" + o);
    EXPECT_TRUE(has(r.body, "<title>刪除客戶確認</title>"));
    EXPECT_TRUE(has(r.body, "<TR><TD>網站:<TD></TABLE></CENTER><P><CENTER>是否確認刪除以上確認<P><input type=button "
                            "class=button value='是, 立即刪除' onClick=\"location='?page=deleteCustomer&session=" + s +
                                "&oid=" + o + "';\"><input type=button class=button value='返回上一頁' "
                                "onClick=javascript:history.go(-1)></CENTER></body></html>"));
    r = get("page=deleteCustomer&oid=" + o);
    EXPECT_TRUE(has(r.body, "<title>成功刪除客戶</title>"));
    EXPECT_TRUE(has(r.body, "<CENTER>以下客戶己成功被刪除:<P><CENTER><TABLE bgcolor=#FFFFCC width=780><TR><TD "
                            "width=110>編號:<TD>60000"));
    EXPECT_TRUE(has(r.body, "</TABLE></CENTER><P><input type=button class=button value='返回列表' "
                            "onClick=\"location='?page=searchCustomer&session=" + s + "';\"></CENTER></body></html>"));
    EXPECT_FALSE(stored("60000").found);

    const std::string message = "<CENTER>客戶錯誤.<p><input type=button class=button value='返回上一頁'";
    for (const char* page : {"updateCustomerForm", "updateCustomer", "deleteCustomerForm", "deleteCustomer"}) {
        std::string p = std::string("page=") + page;
        EXPECT_TRUE(has(get(p + "&oid=" + o).body, message)) << page;
        EXPECT_TRUE(has(get(p).body, message)) << page;
        EXPECT_TRUE(has(get(p + "&oid=-5").body, message)) << page;
        EXPECT_TRUE(has(get(p + "&oid=99999999999").body, message)) << page;
        EXPECT_EQ(get(p + "&oid=5a").status, "HTTP/1.1 404 Not found") << page;
    }
}

TEST_F(CustomerTest, PostedReferencesMustNameRecordsOfTheirTable)
{
    int32_t level = contact;
    struct Case {
        const char* field;
        std::string value;
        const char* message;
    } cases[] = {
        {"category", str(level), "類別錯誤.<BR>"},  // a record of another table
        {"level", str(hardware), "級別錯誤.<BR>"},
        {"area", "999999", "地區錯誤.<BR>"},
        {"area", "0", "地區錯誤.<BR>"},
        {"createdBy", str(vendor), "負責員工錯誤.<BR>"},
        {"createdBy", "1", "負責員工錯誤.<BR>"},  // the table of tables
        {"createdBy", "", "負責員工錯誤.<BR>"},
        {"category", "abc", "類別錯誤.<BR>"},
        {"level", "99999999999", "級別錯誤.<BR>"},
    };
    size_t customers = customerCount();
    for (const Case& c : cases) {
        auto fields = form("insertCustomer", "70000", "Refused");
        fields[c.field] = c.value;
        HttpReply r = post(fields);
        EXPECT_TRUE(has(r.body, "<title>無法加入客戶</title>")) << c.field << c.value;
        EXPECT_TRUE(has(r.body, std::string("<FONT COLOR=#FF0000>") + c.message + "</FONT>")) << c.field << c.value;
        EXPECT_TRUE(has(r.body, "<INPUT type=hidden value=insertCustomer name=page>"));
        EXPECT_TRUE(has(r.body, "name=id value='70000'>"));
        EXPECT_TRUE(has(r.body, "<input type=text name=name size=100 value='Refused'>"));
        EXPECT_TRUE(has(r.body, "<textarea name=remark rows=15 cols=80>notes</textarea>"));

        auto change = form("updateCustomer", "10000", "Refused");
        change["oid"] = str(vendor);
        change["version"] = "0";
        change[c.field] = c.value;
        r = post(change);
        EXPECT_TRUE(has(r.body, "<title>更改客戶錯誤</title>")) << c.field << c.value;
        EXPECT_TRUE(has(r.body, std::string("<FONT COLOR=#FF0000>") + c.message + "</FONT>")) << c.field << c.value;
        EXPECT_TRUE(has(r.body, "<input type=text name=name size=100 value='Refused'>"));
        EXPECT_TRUE(has(r.body, " name=oid><INPUT type=hidden value=0 name=version>"));
    }
    EXPECT_EQ(customerCount(), customers);
    EXPECT_FALSE(stored("70000").found);
    EXPECT_EQ(stored("10000").name, "雲杉資訊科技有限公司");
    EXPECT_EQ(stored("10000").version, 0);

    // All three wrong at once: one line each, in the form's order.
    auto fields = form("insertCustomer", "70000", "Refused");
    fields.erase("createdBy");
    fields["category"] = fields["level"] = fields["area"] = "0";
    EXPECT_TRUE(has(post(fields).body, "<FONT COLOR=#FF0000>負責員工錯誤.<BR>類別錯誤.<BR>級別錯誤.<BR>地區錯誤.<BR></FONT>"));
    // Sound references are stored.
    auto change = form("updateCustomer", "10000", "Accepted");
    change["oid"] = str(vendor);
    change["version"] = "0";
    EXPECT_TRUE(has(post(change).body, "成功更改客戶"));
    EXPECT_EQ(stored("10000").level, oid_t(contact));
}

}  // namespace
