// The employee pages over HTTP: the list with filters and paging, adding,
// changing and deleting employees, and the personal data pages.

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "engine286/query.h"
#include "support/app_server.h"

namespace {

using Fields = std::map<std::string, std::string>;

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

size_t count(const std::string& body, const std::string& text)
{
    size_t n = 0;
    for (size_t at = body.find(text); at != std::string::npos; at = body.find(text, at + text.size())) n++;
    return n;
}

const std::string versionMessage = "資料版本錯誤, 有其他員工更改這資料, 以下是更新版本, 請重新更改.<BR>";

class EmployeePagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        session = app.login("admin", "kwirt");
        ASSERT_GT(session, 0);
        s = std::to_string(session);
    }

    // Every page that is written at all is written to its end.
    static HttpReply whole(HttpReply r)
    {
        if (r.status == "HTTP/1.1 200 OK") {
            EXPECT_TRUE(r.body.ends_with("</body></html>")) << r.body;
        }
        return r;
    }
    HttpReply page(const std::string& query, const char* from = "127.0.0.1")
    {
        return whole(app.get("page=" + query + "&session=" + s, from));
    }
    HttpReply send(Fields fields)
    {
        fields["session"] = s;
        return whole(app.post(fields));
    }
    // The stored employee with that code (the test thread commits at once so
    // that the server is not kept waiting).
    bool stored(const std::string& id, Employee& out, std::string* name = nullptr, std::string* password = nullptr)
    {
        const char* key = id.c_str();
        dbQuery q;
        q = "id=", &key;
        dbCursor<Employee> c;
        bool found = c.select(q) == 1;
        if (found) {
            out = *c.get();
            if (name != nullptr) *name = out.name != nullptr ? out.name : "";
            if (password != nullptr) *password = out.password != nullptr ? out.password : "";
            out.id = out.name = out.password = out.hkid = out.tel = out.email = out.remark = nullptr;
        }
        app.database().commit();
        return found;
    }
    size_t employeeCount()
    {
        dbCursor<Employee> c;
        size_t n = c.selectAll();
        app.database().commit();
        return n;
    }
    void setRows(int16_t rows)
    {
        dbCursor<BasicSetup> c(dbCursorForUpdate);
        c.selectAll();
        c->row = rows;
        c.update();
        app.database().commit();
    }
    // A full employee form for the add and change pages.
    static Fields form(const std::string& page, const std::string& id, const std::string& password,
                       const std::string& name = "Name")
    {
        return {{"page", page}, {"id", id}, {"password", password}, {"name", name}, {"hkid", "A123"},
                {"tel", "555"}, {"email", "x@y"}, {"remark", "r"}, {"login", "on"}, {"customer", "on"}};
    }

    AppServer app;
    int32_t session = 0;
    std::string s;
};

// ---------------------------------------------------------------- the list

TEST_F(EmployeePagesTest, ListPagesThroughFortyFiveEmployees)
{
    for (int i = 1; i <= 44; i++) {
        char id[8];
        std::snprintf(id, sizeof id, "e%02d", i);
        app.addEmployee(id, "secret", 1, "Person " + std::string(id + 1));
    }
    struct Case {
        const char* query;
        const char* range;
        const char* previous;  // null: no previous button
        const char* next;      // null: no next button
        size_t rows;
    } cases[] = {
        {"", "總數: 45 --- 顯示: 1 至 20<P>", nullptr, "&index=20'", 20},
        {"&index=20", "總數: 45 --- 顯示: 21 至 40<P>", "&index=0'", "&index=40'", 20},
        {"&index=40", "總數: 45 --- 顯示: 41 至 45<P>", "&index=20'", nullptr, 5},
        // Indices the page never writes itself: clamped, nothing shown twice.
        {"&index=45", "總數: 45 --- 顯示: 41 至 45<P>", "&index=20'", nullptr, 5},
        {"&index=99999999999", "總數: 45 --- 顯示: 41 至 45<P>", "&index=20'", nullptr, 5},
        {"&index=-7", "總數: 45 --- 顯示: 1 至 20<P>", nullptr, "&index=20'", 20},
    };
    const std::string buttonStart = "onClick=\"location='?page=searchEmployee&session=" + s;
    for (const Case& c : cases) {
        HttpReply r = page(std::string("searchEmployee") + c.query);
        EXPECT_TRUE(has(r.body, c.range)) << c.query;
        EXPECT_EQ(count(r.body, "'>更改</a>"), c.rows) << c.query;
        EXPECT_EQ(has(r.body, "value='上一頁' "), c.previous != nullptr) << c.query;
        EXPECT_EQ(has(r.body, "value='下一頁' "), c.next != nullptr) << c.query;
        if (c.previous != nullptr) {
            EXPECT_TRUE(has(r.body, "<input class=button type=button value='上一頁' " + buttonStart + c.previous + "\">"));
        }
        if (c.next != nullptr) {
            EXPECT_TRUE(has(r.body, "<input class=button type=button value='下一頁' " + buttonStart + c.next + "\">"));
        }
        EXPECT_TRUE(r.body.ends_with("</TABLE></FORM><P></CENTER></body></html>")) << c.query;
    }

    HttpReply first = page("searchEmployee");
    EXPECT_TRUE(has(first.body, "<title>員工列表</title></head><body bgcolor=#FFFFFF text=#000000 "
                                "onLoad=\"formatTable(&#39;oTable&#39;);inputForm[&#39;name&#39;].focus()\">"));
    EXPECT_TRUE(has(first.body, "<CENTER><FORM name=inputForm action='' method=post><INPUT type=hidden "
                                "value=searchEmployee name=page><INPUT type=hidden value=" + s +
                                    " name=session>員工編號: <INPUT size=10 name=id>員工名稱: <INPUT size=10 name=name>"
                                    "<P><INPUT class=button type=submit value=尋找><input class=button type=button "
                                    "value='加入員工' onClick=\"location='?page=insertEmployeeForm&session=" + s + "';\">"));
    EXPECT_TRUE(has(first.body, "<P><Table id=oTable width=780 border=1><TR><TH width=60>員工編號<TH>員工名稱<TH "
                                "width=80>電話<TH width=150>電郵<TH width=60>功能</TR><TR><TD>admin<TD>Adminstrator"));
    Employee e;
    ASSERT_TRUE(stored("e01", e));
    std::string o = std::to_string(e.oid);
    EXPECT_TRUE(has(first.body, "<TR><TD>e01<TD>Person 01<TD><TD><TD><a href='?page=updateEmployeeForm&session=" + s +
                                    "&oid=" + o + "'>更改</a> / <a href='?page=deleteEmployeeForm&session=" + s +
                                    "&oid=" + o + "'>刪除</a></TR>"));

    EXPECT_EQ(page("searchEmployee&index=abc").status, "HTTP/1.1 404 Not found");
}

TEST_F(EmployeePagesTest, FiltersAreBoundAndCarriedByThePageButtons)
{
    for (int i = 1; i <= 25; i++) app.addEmployee("f" + std::to_string(i), "secret", 1, "Fox " + std::to_string(i));
    app.addEmployee("q'1", "secret", 1, "O'Neil");
    app.addEmployee("q'2", "secret", 1, "100% sure");
    struct Case {
        Fields filter;
        const char* range;  // null: nothing found
        const char* shows;
    } cases[] = {
        {{{"id", "f7"}}, "總數: 1 --- 顯示: 1 至 1", "<TD>f7<TD>Fox 7<TD>"},
        {{{"name", "ox 1"}}, "總數: 11 --- 顯示: 1 至 11", "<TD>f19<TD>Fox 19<TD>"},
        {{{"id", "f12"}, {"name", "ox 1"}}, "總數: 1 --- 顯示: 1 至 1", "<TD>f12<TD>"},
        {{{"id", "f12"}, {"name", "ox 2"}}, nullptr, nullptr},
        // Quotes are plain characters of the value.
        {{{"id", "q'1"}}, "總數: 1 --- 顯示: 1 至 1", "<TD>q&#39;1<TD>O&#39;Neil<TD>"},
        {{{"name", "'Ne"}}, "總數: 1 --- 顯示: 1 至 1", "<TD>q&#39;1<TD>"},
        {{{"id", "x' or id<>'"}}, nullptr, nullptr},
        {{{"name", "% sure"}}, "總數: 1 --- 顯示: 1 至 1", "<TD>100% sure<TD>"},
    };
    for (const Case& c : cases) {
        Fields f = c.filter;
        f["page"] = "searchEmployee";
        HttpReply r = send(f);
        std::string label = f["id"] + "|" + f["name"];
        if (c.range == nullptr) {
            EXPECT_TRUE(has(r.body, "<P>沒有資料</FORM><P></CENTER></body></html>")) << label;
            EXPECT_FALSE(has(r.body, "<Table id=oTable")) << label;
        } else {
            EXPECT_TRUE(has(r.body, c.range)) << label;
            EXPECT_TRUE(has(r.body, c.shows)) << label;
        }
    }

    // The filters stay in the inputs and in the paging links.
    HttpReply r = send({{"page", "searchEmployee"}, {"name", "Fox"}});
    EXPECT_TRUE(has(r.body, "員工編號: <INPUT size=10 name=id>員工名稱: <INPUT size=10 name=name value=Fox>"));
    EXPECT_TRUE(has(r.body, "總數: 25 --- 顯示: 1 至 20"));
    EXPECT_TRUE(has(r.body, "value='下一頁' onClick=\"location='?page=searchEmployee&session=" + s +
                                "&index=20&name=Fox'\">"));
    r = page("searchEmployee&index=20&name=Fox");
    EXPECT_TRUE(has(r.body, "總數: 25 --- 顯示: 21 至 25"));
    EXPECT_TRUE(has(r.body, "value='上一頁' onClick=\"location='?page=searchEmployee&session=" + s +
                                "&index=0&name=Fox'\">"));
    r = page("searchEmployee&id=f3&name=Fox");
    EXPECT_TRUE(has(r.body, "員工編號: <INPUT size=10 name=id value=f3>員工名稱: <INPUT size=10 name=name value=Fox>"));
}

TEST_F(EmployeePagesTest, RowSettingBelowOneShowsOneRecordPerPage)
{
    app.addEmployee("b", "secret", 1);
    app.addEmployee("c", "secret", 1);
    for (int16_t rows : {int16_t(0), int16_t(-5)}) {
        setRows(rows);
        HttpReply r = page("searchEmployee");
        EXPECT_TRUE(has(r.body, "總數: 3 --- 顯示: 1 至 1<P>")) << rows;
        EXPECT_EQ(count(r.body, "'>更改</a>"), 1u) << rows;
        EXPECT_TRUE(has(r.body, "value='下一頁' onClick=\"location='?page=searchEmployee&session=" + s + "&index=1'\">"));
        r = page("searchEmployee&index=2");
        EXPECT_TRUE(has(r.body, "總數: 3 --- 顯示: 3 至 3<P>")) << rows;
        EXPECT_TRUE(has(r.body, "<TR><TD>c<TD>")) << rows;
        EXPECT_EQ(count(r.body, "'>更改</a>"), 1u) << rows;
        EXPECT_FALSE(has(r.body, "value='下一頁'")) << rows;
    }
}

// ---------------------------------------------------------------- adding

TEST_F(EmployeePagesTest, InsertFormHasEveryRightTicked)
{
    HttpReply r = page("insertEmployeeForm");
    EXPECT_TRUE(has(r.body, "<title>加入員工</title></head><body bgcolor=#FFFFFF text=#000000 "
                            "onLoad=\"inputForm[&#39;id&#39;].focus()\">"));
    EXPECT_TRUE(has(
        r.body,
        "<CENTER><FORM name=inputForm action='' method=post><INPUT type=hidden value=insertEmployee name=page><INPUT "
        "type=hidden value=" + s +
            " name=session><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>員工編號:<TD><input type=text name=id>"
            "</TR><TR><TD>登入密碼:<TD><input type=password name=password></TR><TR><TD>員工名稱:<TD><input type=text "
            "name=name size=100></TR><TR><TD>身份證編號:<TD><input type=text name=hkid></TR><TR><TD>聯絡電話:<TD>"
            "<input type=text name=tel></TR><TR><TD>電郵:<TD><input type=text name=email size=100></TR><TR><TD>備註:"
            "<TD><textarea name=remark rows=5 cols=80></textarea></TR><TR><TD>權限:<TD><input type=checkbox name=login "
            "checked>登入<br><input type=checkbox name=setup checked>基本設定<br><input type=checkbox name=emp checked>"
            "員工管理<br><input type=checkbox name=customer checked>客戶管理<br><input type=checkbox "
            "name=deleteCustomer checked>刪除客戶<br><input type=checkbox name=updateCustomer checked>"
            "查詢和更改其他員工客戶</TABLE><P><INPUT class=button type=submit value=加入><input type=button "
            "class=button value='返回員工管理' onClick=\"location='?page=searchEmployee&session=" + s +
            "';\"></FORM></CENTER></body></html>"));
}

TEST_F(EmployeePagesTest, InsertRefusalsShowTheTypedForm)
{
    struct Case {
        const char* id;
        const char* password;
        const char* errors;
    } cases[] = {
        {"", "abcd", "員工編號錯誤.<BR>"},
        {"new", "abc", "密碼最少要輸入四個字.<BR>"},
        {"admin", "abcd", "員工編號已存在."},
        {"", "", "員工編號錯誤.<BR>密碼最少要輸入四個字.<BR>"},
        {"admin", "ab", "密碼最少要輸入四個字.<BR>員工編號已存在."},
    };
    for (const Case& c : cases) {
        HttpReply r = send(form("insertEmployee", c.id, c.password, "Typed"));
        EXPECT_TRUE(has(r.body, "<title>無法加入員工</title>")) << c.id;
        EXPECT_TRUE(has(r.body, "<P><CENTER><FONT COLOR=#FF0000>" + std::string(c.errors) + "</FONT></CENTER><P>"))
            << c.id << "/" << c.password;
        EXPECT_TRUE(has(r.body, "<CENTER><FORM action='' method=post><INPUT type=hidden value=insertEmployee "
                                "name=page><INPUT type=hidden value=" + s + " name=session><TABLE bgcolor=#FFFFCC "
                                "width=780><TR><TD width=110>員工編號:<TD><input type=text name=id value='" +
                                    std::string(c.id) + "'></TR><TR><TD>登入密碼:<TD><input type=password "
                                    "name=password value='" + c.password + "'></TR><TR><TD>員工名稱:<TD><input "
                                    "type=text name=name size=100 value='Typed'>"));
        // The ticked boxes are the ones posted.
        EXPECT_TRUE(has(r.body, "name=login checked>登入<br><input type=checkbox name=setup>基本設定<br><input "
                                "type=checkbox name=emp>員工管理<br><input type=checkbox name=customer checked>"));
        EXPECT_TRUE(has(r.body, "<P><INPUT class=button type=submit value=加入><input type=button class=button "
                                "value='返回員工管理'"));
    }
    EXPECT_EQ(employeeCount(), 1u);
}

TEST_F(EmployeePagesTest, InsertStoresTheEmployeeWithItsOid)
{
    Fields f = form("insertEmployee", "o'neil", "pass'word", "<Olaf>");
    f["emp"] = "";  // a present box counts whatever its value
    HttpReply r = send(f);
    EXPECT_TRUE(has(r.body, "<title>成功加入員工</title>"));
    EXPECT_TRUE(has(r.body, "<CENTER><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>員工編號:<TD>o&#39;neil</TR>"
                            "<TR><TD>員工名稱:<TD>&lt;Olaf&gt;</TR><TR><TD>身份證編號:<TD>A123</TR><TR><TD>聯絡電話:"
                            "<TD>555</TR><TR><TD>電郵:<TD>x@y</TR><TR><TD>備註:<TD>r</TR></TABLE></CENTER>"));
    EXPECT_TRUE(has(r.body, "<P><CENTER><input type=button class=button value='加入新員工' "
                            "onClick=\"location='?page=insertEmployeeForm&session=" + s +
                                "';\"><input type=button class=button value='返回員工管理' "
                                "onClick=\"location='?page=searchEmployee&session=" + s + "';\"></CENTER>"));
    EXPECT_FALSE(has(r.body, "pass&#39;word"));

    Employee e;
    ASSERT_TRUE(stored("o'neil", e));
    EXPECT_EQ(e.permission, permLogin | permEmployees | permCustomers);
    EXPECT_EQ(e.version, 0);
    {
        dbCursor<Employee> c;
        c.at(oid_t(e.oid));
        EXPECT_EQ(c->oid, e.oid);
        app.database().commit();
    }
    // The code with a quote can be used to log in and cannot be added twice.
    EXPECT_GT(app.login("o'neil", "pass'word"), 0);
    r = send(form("insertEmployee", "o'neil", "secret"));
    EXPECT_TRUE(has(r.body, ">員工編號已存在.</FONT>"));
    EXPECT_EQ(employeeCount(), 2u);

    // Absent fields are stored empty.
    r = send({{"page", "insertEmployee"}, {"id", "bare"}, {"password", "1234"}});
    EXPECT_TRUE(has(r.body, "<title>成功加入員工</title>"));
    EXPECT_TRUE(has(r.body, "<TR><TD>員工名稱:<TD></TR>"));
    ASSERT_TRUE(stored("bare", e));
    EXPECT_EQ(e.permission, 0);
}

// ---------------------------------------------------------------- changing

TEST_F(EmployeePagesTest, ChangeFormShowsTheStoredRecord)
{
    int32_t oid = app.addEmployee("clerk", "secret", permLogin | permCustomers | permOtherEmployeesCustomers, "Clerk");
    std::string o = std::to_string(oid);
    HttpReply r = page("updateEmployeeForm&oid=" + o);
    EXPECT_TRUE(has(r.body, "<title>更改員工</title></head><body bgcolor=#FFFFFF text=#000000>"));
    EXPECT_TRUE(has(r.body, "<CENTER><FORM action='' method=post><INPUT type=hidden value=updateEmployee name=page>"
                            "<INPUT type=hidden value=" + o + " name=oid><INPUT type=hidden value=0 name=version>"
                            "<INPUT type=hidden value=" + s + " name=session><TABLE bgcolor=#FFFFCC width=780><TR>"
                            "<TD width=110>員工編號:<TD><input type=text name=id value='clerk'></TR><TR><TD>登入密碼:"
                            "<TD><input type=password name=password value='secret'></TR><TR><TD>員工名稱:<TD><input "
                            "type=text name=name size=100 value='Clerk'></TR><TR><TD>身份證編號:<TD><input type=text "
                            "name=hkid value=''>"));
    EXPECT_TRUE(has(r.body, "<textarea name=remark rows=5 cols=80></textarea></TR><TR><TD>權限:<TD><input "
                            "type=checkbox name=login checked>登入<br><input type=checkbox name=setup>基本設定<br>"
                            "<input type=checkbox name=emp>員工管理<br><input type=checkbox name=customer checked>"
                            "客戶管理<br><input type=checkbox name=deleteCustomer>刪除客戶<br><input type=checkbox "
                            "name=updateCustomer checked>查詢和更改其他員工客戶</TABLE><P><INPUT class=button "
                            "type=submit value=更改><input type=button class=button value='返回上一頁' "
                            "onClick=javascript:history.go(-1)></FORM></CENTER></body></html>"));

    const std::string missing = "<CENTER>員工錯誤.<p><input type=button class=button value='返回上一頁'";
    for (const char* q : {"updateEmployeeForm", "updateEmployeeForm&oid=", "updateEmployeeForm&oid=987654",
                          "updateEmployeeForm&oid=-1", "updateEmployeeForm&oid=4294967297", "updateEmployee",
                          "updateEmployee&oid=987654", "deleteEmployeeForm", "deleteEmployeeForm&oid=987654",
                          "deleteEmployee", "deleteEmployee&oid=987654"})
        EXPECT_TRUE(has(page(q).body, missing)) << q;
    for (const char* q : {"updateEmployeeForm&oid=x", "updateEmployee&oid=1x", "deleteEmployee&oid=%20"})
        EXPECT_EQ(page(q).status, "HTTP/1.1 404 Not found") << q;
}

TEST_F(EmployeePagesTest, ChangeChecksCodePasswordAndVersion)
{
    int32_t oid = app.addEmployee("clerk", "secret", 1, "Clerk");
    app.addEmployee("other", "secret", 1);
    std::string o = std::to_string(oid);
    auto change = [&](const std::string& id, const std::string& password, const char* version) {
        Fields f = form("updateEmployee", id, password, "Changed");
        f["oid"] = o;
        if (version != nullptr) f["version"] = version;
        return send(f);
    };
    struct Case {
        const char* id;
        const char* password;
        const char* version;  // null: not posted
        std::string errors;
    } cases[] = {
        {"", "secret", "0", "員工編號錯誤.<BR>"},
        {"clerk", "abc", "0", "密碼最少要輸入四個字.<BR>"},
        {"other", "secret", "0", "員工編號已存在.<BR>"},
        {"admin", "", "0", "密碼最少要輸入四個字.<BR>員工編號已存在.<BR>"},
        {"clerk", "secret", "", versionMessage},
        {"clerk", "secret", nullptr, versionMessage},
        {"clerk", "secret", "3", versionMessage},
        {"other", "abc", "7", "密碼最少要輸入四個字.<BR>員工編號已存在.<BR>" + versionMessage},
    };
    for (const Case& c : cases) {
        HttpReply r = change(c.id, c.password, c.version);
        std::string label = std::string(c.id) + "/" + c.password + "/" + (c.version ? c.version : "-");
        EXPECT_TRUE(has(r.body, "<title>更改員工錯誤</title>")) << label;
        EXPECT_TRUE(has(r.body, "<FONT COLOR=#FF0000>" + c.errors + "</FONT>")) << label;
        EXPECT_TRUE(has(r.body, "<CENTER><FORM action='' method=post><INPUT type=hidden value=updateEmployee "
                                "name=page><INPUT type=hidden value=" + s + " name=session><INPUT type=hidden value=" +
                                    o + " name=oid><INPUT type=hidden value=0 name=version>")) << label;
        // The typed values come back, unless the version is stale: then the
        // stored record does.
        if (has(c.errors, versionMessage)) {
            EXPECT_TRUE(has(r.body, "name=id value='clerk'>")) << label;
            EXPECT_TRUE(has(r.body, "name=name size=100 value='Clerk'>")) << label;
        } else {
            EXPECT_TRUE(has(r.body, "name=id value='" + std::string(c.id) + "'>")) << label;
            EXPECT_TRUE(has(r.body, "name=name size=100 value='Changed'>")) << label;
        }
        EXPECT_TRUE(has(r.body, "<P><INPUT class=button type=submit value=更改><input type=button class=button "
                                "value='返回員工管理' onClick=\"location='?page=searchEmployee&session=" + s +
                                    "';\"></FORM></CENTER></body></html>")) << label;
    }
    Employee e;
    std::string name;
    ASSERT_TRUE(stored("clerk", e, &name));
    EXPECT_EQ(name, "Clerk");
    EXPECT_EQ(e.version, 0);

    // Keeping the code is no duplicate; the change is stored and shown.
    HttpReply r = change("clerk", "secret2", "0");
    EXPECT_TRUE(has(r.body, "<title>成功更改員工</title>"));
    EXPECT_TRUE(has(r.body, "<TR><TD width=110>員工編號:<TD>clerk</TR><TR><TD>員工名稱:<TD>Changed</TR>"));
    EXPECT_TRUE(has(r.body, "</TABLE></CENTER><P><CENTER><input type=button class=button value='返回員工管理' "
                            "onClick=\"location='?page=searchEmployee&session=" + s + "';\"></CENTER></body></html>"));
    std::string password;
    ASSERT_TRUE(stored("clerk", e, &name, &password));
    EXPECT_EQ(name, "Changed");
    EXPECT_EQ(password, "secret2");
    EXPECT_EQ(e.version, 1);
    EXPECT_EQ(e.permission, permLogin | permCustomers);
}

TEST_F(EmployeePagesTest, SecondAdministratorGetsTheStoredRecordAndCanStoreAgain)
{
    int32_t oid = app.addEmployee("clerk", "secret", 1, "Clerk");
    std::string o = std::to_string(oid);
    Fields first = form("updateEmployee", "clerk", "first1", "First");
    first["oid"] = o;
    first["version"] = "0";
    first["emp"] = "on";
    EXPECT_TRUE(has(send(first).body, "<title>成功更改員工</title>"));

    Fields second = form("updateEmployee", "clerk2", "second", "Second");
    second["oid"] = o;
    second["version"] = "0";
    HttpReply r = send(second);
    EXPECT_TRUE(has(r.body, "<FONT COLOR=#FF0000>" + versionMessage + "</FONT>"));
    EXPECT_TRUE(has(r.body, "<INPUT type=hidden value=1 name=version>"));
    EXPECT_TRUE(has(r.body, "name=id value='clerk'></TR><TR><TD>登入密碼:<TD><input type=password name=password "
                            "value='first1'></TR><TR><TD>員工名稱:<TD><input type=text name=name size=100 "
                            "value='First'>"));
    EXPECT_TRUE(has(r.body, "name=emp checked>員工管理"));
    Employee e;
    EXPECT_FALSE(stored("clerk2", e));

    second["version"] = "1";
    EXPECT_TRUE(has(send(second).body, "<title>成功更改員工</title>"));
    ASSERT_TRUE(stored("clerk2", e));
    EXPECT_EQ(e.version, 2);
}

TEST_F(EmployeePagesTest, VersionWrapsAfter128ChangesAndStillMatches)
{
    int32_t oid = app.addEmployee("clerk", "secret", 1);
    Fields f = form("updateEmployee", "clerk", "secret");
    f["oid"] = std::to_string(oid);
    for (int v = 0; v < 128; v++) {
        f["version"] = std::to_string(int8_t(v));
        ASSERT_TRUE(has(send(f).body, "<title>成功更改員工</title>")) << v;
    }
    Employee e;
    ASSERT_TRUE(stored("clerk", e));
    EXPECT_EQ(e.version, -128);
    EXPECT_TRUE(has(page("updateEmployeeForm&oid=" + f["oid"]).body, "<INPUT type=hidden value=-128 name=version>"));
    f["version"] = "-128";
    EXPECT_TRUE(has(send(f).body, "<title>成功更改員工</title>"));
    ASSERT_TRUE(stored("clerk", e));
    EXPECT_EQ(e.version, -127);
}

TEST_F(EmployeePagesTest, CodeWithAQuoteCanBeChanged)
{
    int32_t oid = app.addEmployee("it's", "secret", 1);
    app.addEmployee("x'y", "secret", 1);
    Fields f = form("updateEmployee", "x'y", "secret");
    f["oid"] = std::to_string(oid);
    f["version"] = "0";
    EXPECT_TRUE(has(send(f).body, ">員工編號已存在.<BR>"));
    f["id"] = "it's new";
    HttpReply r = send(f);
    EXPECT_TRUE(has(r.body, "<TD>it&#39;s new</TR>"));
    Employee e;
    EXPECT_FALSE(stored("it's", e));
    ASSERT_TRUE(stored("it's new", e));
    EXPECT_EQ(e.oid, oid);
}

// ---------------------------------------------------------------- deleting

TEST_F(EmployeePagesTest, DeleteIsRefusedWhileACustomerNamesTheEmployee)
{
    int32_t oid = app.addEmployee("leaver", "secret", 1, "Leaver");
    int32_t leaverSession = app.login("leaver", "secret");
    std::string o = std::to_string(oid);
    oid_t customer;
    {
        Customer c;
        c.id = "c1";
        c.name = "Shop";
        c.createdBy = dbReference<Employee>(oid_t(oid));
        c.modifiedBy = c.createdBy;
        customer = dbCursor<Customer>::insert(c);
        app.database().commit();
    }
    HttpReply r = page("deleteEmployeeForm&oid=" + o);
    EXPECT_TRUE(has(r.body, "<title>刪除員工確認</title>"));
    EXPECT_TRUE(has(r.body, "<TR><TD width=110>員工編號:<TD>leaver</TR><TR><TD>員工名稱:<TD>Leaver</TR>"));
    EXPECT_TRUE(has(r.body, "</TABLE></CENTER><P><CENTER>是否確認刪除以上員工嗎?<P><input type=button class=button "
                            "value='是, 立即刪除' onClick=\"location='?page=deleteEmployee&session=" + s + "&oid=" + o +
                                "';\"><input type=button class=button value='返回上一頁' "
                                "onClick=javascript:history.go(-1)></CENTER></body></html>"));

    r = page("deleteEmployee&oid=" + o);
    EXPECT_TRUE(has(r.body, "<CENTER>還有客戶資料使用這資料, 不能刪除.<p><input type=button class=button "
                            "value='返回上一頁'"));
    Employee e;
    EXPECT_TRUE(stored("leaver", e));

    // Given to someone else; the last change by the employee does not count.
    {
        dbCursor<Customer> c(dbCursorForUpdate);
        c.at(customer);
        dbCursor<Employee> admin;
        const char* key = "admin";
        dbQuery q;
        q = "id=", &key;
        admin.select(q);
        c->createdBy = dbReference<Employee>(admin.getOid());
        c.update();
        app.database().commit();
    }
    r = page("deleteEmployee&oid=" + o);
    EXPECT_TRUE(has(r.body, "<title>成功刪除員工</title>"));
    EXPECT_TRUE(has(r.body, "<CENTER>以下員工己成功被刪除:<P><CENTER><TABLE bgcolor=#FFFFCC width=780><TR><TD "
                            "width=110>員工編號:<TD>leaver</TR>"));
    EXPECT_TRUE(has(r.body, "</TABLE></CENTER><P><input type=button class=button value='返回員工管理' "
                            "onClick=\"location='?page=searchEmployee&session=" + s + "';\"></CENTER></body></html>"));
    EXPECT_FALSE(stored("leaver", e));
    // The session record stays; the session check refuses it.
    {
        dbCursor<LoginSession> sessions;
        int32_t number = leaverSession;
        dbQuery q;
        q = "session=", number;
        EXPECT_EQ(sessions.select(q), 1u);
        app.database().commit();
    }
    EXPECT_TRUE(has(page("deleteEmployee&oid=" + o).body, "員工錯誤."));
}

// ---------------------------------------------------------------- own data

TEST_F(EmployeePagesTest, PersonalPagesChangeOwnDataButNotTheVersion)
{
    int32_t oid = app.addEmployee("clerk", "secret", permLogin, "Clerk");
    int32_t clerk = app.login("clerk", "secret");
    std::string c = std::to_string(clerk);
    HttpReply r = app.get("page=personalEmployeeForm&session=" + c);
    EXPECT_TRUE(has(r.body, "<title>更改個人資料</title></head><body bgcolor=#FFFFFF text=#000000>"));
    EXPECT_TRUE(has(r.body, "<CENTER><FORM action='' method=post><INPUT type=hidden value=personalEmployee name=page>"
                            "<TABLE bgcolor=#FFFFCC width=780><INPUT type=hidden value=" + c + " name=session><TR><TD "
                            "width=110>登入密碼:<TD><input type=password name=password value=secret></TR><TR><TD>"
                            "員工名稱:<TD><input type=text name=name size=100 value='Clerk'></TR><TR><TD>身份證編號:"
                            "<TD><input type=text name=hkid value=></TR><TR><TD>聯絡電話:<TD><input type=text name=tel "
                            "value=''></TR><TR><TD>電郵:<TD><input type=text name=email size=100 value=></TR><TR "
                            "height=80><TD colspan=2><div align=center><INPUT class=button type=submit value=更改>"
                            "</TABLE></FORM></body></html>"));

    // A short password shows the form again and stores nothing.
    r = app.post({{"page", "personalEmployee"}, {"session", c}, {"password", "abc"}, {"name", "New Name"},
                  {"tel", "123"}});
    EXPECT_TRUE(has(r.body, "<title>更改員工錯誤</title>"));
    EXPECT_TRUE(has(r.body, "<P><CENTER><FONT COLOR=#FF0000>密碼最少要輸入四個字.<BR></FONT></CENTER><P><CENTER><FORM "
                            "action='' method=post><INPUT type=hidden value=personalEmployee name=page><TABLE "
                            "bgcolor=#FFFFCC width=780><INPUT type=hidden value=" + c + " name=session><TR><TD "
                            "wisth=110>登入密碼:<TD><input type=password name=password value=abc></TR><TR><TD>員工名稱:"
                            "<TD><input type=text name=name size=100 value=New Name></TR><TR><TD>身份證編號:<TD><input "
                            "type=text name=hkid value=></TR><TR><TD>聯絡電話:<TD><input type=text name=tel value=123>"
                            "</TR><TR><TD>電郵:<TD><input type=text name=email size=100 value=></TR><TR height=80><TD "
                            "colspan=2><div align=center><INPUT class=button type=submit value=更改></div></TABLE>"
                            "</FORM></CENTER></body></html>"));
    Employee e;
    std::string name, password;
    ASSERT_TRUE(stored("clerk", e, &name, &password));
    EXPECT_EQ(name, "Clerk");
    EXPECT_EQ(password, "secret");

    // An administrator opens the change form before the personal change.
    std::string adminForm = page("updateEmployeeForm&oid=" + std::to_string(oid)).body;
    EXPECT_TRUE(has(adminForm, "<INPUT type=hidden value=0 name=version>"));

    r = app.post({{"page", "personalEmployee"}, {"session", c}, {"password", "newpass"}, {"name", "<New>"},
                  {"hkid", "Z9"}, {"email", "c@d"}, {"id", "hacked"}, {"emp", "on"}});
    EXPECT_TRUE(has(r.body, "<title>成功更改個人資料</title>"));
    EXPECT_TRUE(has(r.body, "<CENTER><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>員工編號:<TD>clerk</TR><TR><TD>"
                            "員工名稱:<TD>&lt;New&gt;</TR><TR><TD>身份證編號:<TD>Z9</TR><TR><TD>聯絡電話:<TD></TR><TR>"
                            "<TD>電郵:<TD>c@d</TR></TABLE></CENTER></body></html>"));
    ASSERT_TRUE(stored("clerk", e, &name, &password));
    EXPECT_EQ(name, "<New>");
    EXPECT_EQ(password, "newpass");
    EXPECT_EQ(e.version, 0);
    EXPECT_EQ(e.permission, permLogin);

    // So the administrator's form still stores.
    Fields f = form("updateEmployee", "clerk", "adminset");
    f["oid"] = std::to_string(oid);
    f["version"] = "0";
    EXPECT_TRUE(has(send(f).body, "<title>成功更改員工</title>"));
}

TEST_F(EmployeePagesTest, PersonalPagesCheckOnlyTheSession)
{
    for (const char* p : {"personalEmployeeForm", "personalEmployee"}) {
        for (std::string q : {"", "&session=0", "&session=-4", "&session=12345"})
            EXPECT_TRUE(has(app.get(std::string("page=") + p + q).body,
                            "<CENTER>Session 錯誤.<p><input type=button class=button value='返回上一頁'"))
                << p << q;
        EXPECT_EQ(app.get(std::string("page=") + p + "&session=x").status, "HTTP/1.1 404 Not found") << p;
        // Neither the client address nor the rights matter here.
        EXPECT_TRUE(has(page(p, "127.0.0.2").body, "<title>")) << p;
        EXPECT_FALSE(has(page(p, "127.0.0.2").body, "錯誤信息")) << p;
    }
}

// ---------------------------------------------------------------- rights

TEST_F(EmployeePagesTest, EmployeePagesNeedTheEmployeeRight)
{
    int32_t oid = app.addEmployee("noemp", "secret", 63 & ~permEmployees);
    app.addEmployee("emp", "secret", permLogin | permEmployees);
    std::string without = std::to_string(app.login("noemp", "secret"));
    std::string with = std::to_string(app.login("emp", "secret"));
    std::string o = "&oid=" + std::to_string(oid);
    for (const std::string& p : std::initializer_list<std::string>{"searchEmployee", "insertEmployeeForm", "insertEmployee", "updateEmployeeForm" + o,
                          "updateEmployee" + o, "deleteEmployeeForm" + o, "deleteEmployee" + o}) {
        HttpReply r = app.get("page=" + p + "&session=" + without);
        EXPECT_TRUE(has(r.body, "<CENTER>員工沒有使用這功能的權限.<p>")) << p;
    }
    Employee e;
    EXPECT_TRUE(stored("noemp", e));
    for (const std::string& p : std::initializer_list<std::string>{"searchEmployee", "insertEmployeeForm", "updateEmployeeForm" + o, "deleteEmployeeForm" + o}) {
        HttpReply r = app.get("page=" + p + "&session=" + with);
        EXPECT_FALSE(has(r.body, "錯誤信息")) << p;
        EXPECT_TRUE(r.body.ends_with("</body></html>")) << p;
    }
    // The personal pages need no right beyond the session.
    EXPECT_TRUE(has(app.get("page=personalEmployeeForm&session=" + without).body, "<title>更改個人資料</title>"));
}

}  // namespace
