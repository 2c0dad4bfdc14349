// The three classification page families over HTTP. Every test runs its
// page kind over all three families from one table.

#include <gtest/gtest.h>

#include <map>
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

struct Value {
    int32_t oid;
    std::string id;
    std::string name;
    int version;
};

// Direct access to one classification table.
template <class T>
struct Table {
    static int32_t add(AppServer& app, const std::string& id, const std::string& name)
    {
        T record;
        record.id = id.c_str();
        record.name = name.c_str();
        oid_t oid = dbCursor<T>::insert(record);
        dbCursor<T> c(dbCursorForUpdate);
        c.at(oid);
        c->oid = int32_t(oid);
        c.update();
        app.database().commit();
        return int32_t(oid);
    }
    static void clear(AppServer& app)
    {
        dbCursor<T> c(dbCursorForUpdate);
        if (c.selectAll() != 0) c.removeAllSelected();
        app.database().commit();
    }
    static std::vector<Value> values(AppServer& app)
    {
        std::vector<Value> out;
        dbCursor<T> c;
        if (c.selectAll() != 0) do {
                out.push_back({c->oid, c->id, c->name, c->version});
            } while (c.next() != nullptr);
        app.database().commit();
        return out;
    }
    static void setVersion(AppServer& app, int32_t oid, int8_t version)
    {
        dbCursor<T> c(dbCursorForUpdate);
        c.at(oid_t(oid));
        c->version = version;
        c.update();
        app.database().commit();
    }
};

// A customer whose three classification fields hold the given object ids
// (of whatever table); returns its object id.
oid_t addCustomer(AppServer& app, oid_t category, oid_t level, oid_t area)
{
    Customer c;
    c.id = "20000";
    c.name = "user";
    c.category = dbReference<CustomerCategory>(category);
    c.level = dbReference<CustomerLevel>(level);
    c.area = dbReference<CustomerArea>(area);
    oid_t oid = dbCursor<Customer>::insert(c);
    app.database().commit();
    return oid;
}

void removeAllCustomers(AppServer& app)
{
    dbCursor<Customer> c(dbCursorForUpdate);
    if (c.selectAll() != 0) c.removeAllSelected();
    app.database().commit();
}

struct Family {
    const char* name;     // the table and the page names' suffix
    const char* caption;  // the seeded display name
    const char* listTitle;
    int32_t (*add)(AppServer&, const std::string&, const std::string&);
    void (*clear)(AppServer&);
    std::vector<Value> (*values)(AppServer&);
    void (*setVersion)(AppServer&, int32_t, int8_t);
    int slot;  // which customer field uses the family: 0 category, 1 level, 2 area

    std::string page(const char* verb, const char* suffix = "") const { return verb + std::string(name) + suffix; }
    int32_t oidOf(AppServer& app, const std::string& valueName) const
    {
        for (const Value& v : values(app))
            if (v.name == valueName) return v.oid;
        return 0;
    }
    // A customer that uses the value through this family's field, or
    // through the other two fields only.
    void useValue(AppServer& app, int32_t oid, bool ownField) const
    {
        oid_t ids[3];
        for (int i = 0; i < 3; i++) ids[i] = (i == slot) == ownField ? oid_t(oid) : 0;
        addCustomer(app, ids[0], ids[1], ids[2]);
    }
};

template <class T>
Family makeFamily(const char* name, const char* caption, const char* listTitle, int slot)
{
    return {name, caption, listTitle, Table<T>::add, Table<T>::clear, Table<T>::values, Table<T>::setVersion, slot};
}

const Family families[] = {
    makeFamily<CustomerCategory>("CustomerCategory", "類別", "客戶第一分類列表", 0),
    makeFamily<CustomerLevel>("CustomerLevel", "級別", "客戶第二分類列表", 1),
    makeFamily<CustomerArea>("CustomerArea", "地區", "客戶第三分類列表", 2),
};

class ClassificationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        session = app.login("admin", "kwirt");
        ASSERT_GT(session, 0);
        s = std::to_string(session);
    }
    HttpReply get(const std::string& query) { return app.get(query + "&session=" + s); }
    HttpReply post(std::map<std::string, std::string> fields)
    {
        fields["session"] = s;
        return app.post(fields);
    }
    void setRows(int rows)
    {
        dbCursor<BasicSetup> c(dbCursorForUpdate);
        c.selectAll();
        c->row = int16_t(rows);
        c.update();
        app.database().commit();
    }

    AppServer app;
    int32_t session = 0;
    std::string s;
};

TEST_F(ClassificationTest, ListInCodeOrderWithBoundFilters)
{
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        f.clear(app);
        int32_t b = f.add(app, "2", "B");
        int32_t a = f.add(app, "1", "A's");
        f.add(app, "3", "C");
        HttpReply r = get("page=" + f.page("search"));
        EXPECT_TRUE(has(r.body, "<title>" + std::string(f.listTitle) + "</title>"));
        EXPECT_TRUE(has(r.body, "onLoad=\"formatTable(&#39;oTable&#39;);inputForm[&#39;name&#39;].focus()\">"));
        EXPECT_TRUE(has(r.body, "<CENTER><FORM name=inputForm action='' method=post><INPUT type=hidden value=" +
                                    f.page("search") + " name=page><INPUT type=hidden value=" + s +
                                    " name=session>編號: <INPUT size=10 name=id>名稱: <INPUT size=10 name=name>"
                                    "<P><INPUT class=button type=submit value=尋找><input class=button type=button "
                                    "value='加入' onClick=\"location='?page=" +
                                    f.page("insert", "Form") + "&session=" + s + "';\">"));
        EXPECT_TRUE(has(r.body, "<P>總數: 3 --- 顯示: 1 至 3<P><P><Table id=oTable width=780 border=1><TR><TH "
                                "width=60>編號<TH>名稱<TH width=60>功能</TR><TR><TD>1<TD>A&#39;s<TD><a href='?page=" +
                                    f.page("update", "Form") + "&session=" + s + "&oid=" + std::to_string(a) +
                                    "'>更改</a> / <a href='?page=" + f.page("delete", "Form") + "&session=" + s +
                                    "&oid=" + std::to_string(a) + "'>刪除</a></TR><TR><TD>2<TD>B"));
        EXPECT_TRUE(has(r.body, "</TR></TABLE></FORM><P></CENTER></body></html>"));
        EXPECT_FALSE(has(r.body, "上一頁"));
        EXPECT_FALSE(has(r.body, "下一頁"));

        // Filters are matched as values: a quote is a character like any other.
        r = get("page=" + f.page("search") + "&name=" + urlEncode("A's"));
        EXPECT_TRUE(has(r.body, "名稱: <INPUT size=10 name=name value=A&#39;s>"));
        EXPECT_TRUE(has(r.body, "總數: 1 ---"));
        r = get("page=" + f.page("search") + "&id=2&name=B");
        EXPECT_TRUE(has(r.body, "&oid=" + std::to_string(b) + "'>更改"));
        EXPECT_TRUE(has(r.body, "總數: 1 ---"));
        for (const char* crafted : {"x' or name like '%", "%' or id<>'"}) {
            r = get("page=" + f.page("search") + "&name=" + urlEncode(crafted));
            EXPECT_TRUE(has(r.body, "<P>沒有資料</FORM><P></CENTER></body></html>")) << crafted;
        }
        r = get("page=" + f.page("search") + "&id=" + urlEncode("' or id<>'"));
        EXPECT_TRUE(has(r.body, "<P>沒有資料")) << r.body;
    }
}

TEST_F(ClassificationTest, ListPagesCarryFiltersAndSurviveAnyIndex)
{
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        f.clear(app);
        for (int i = 0; i < 45; i++) f.add(app, std::to_string(100 + i), "v" + std::to_string(i));
        std::string list = "page=" + f.page("search");
        HttpReply r = get(list + "&name=v");
        EXPECT_TRUE(has(r.body, "<P>總數: 45 --- 顯示: 1 至 20<P>"));
        EXPECT_FALSE(has(r.body, "上一頁"));
        EXPECT_TRUE(has(r.body, "<input class=button type=button value='下一頁' onClick=\"location='?page=" +
                                    f.page("search") + "&session=" + s + "&index=20&name=v'\">"));
        EXPECT_EQ(count(r.body, "'>更改</a>"), 20u);

        r = get(list + "&index=40&id=&name=v");
        EXPECT_TRUE(has(r.body, "<P>總數: 45 --- 顯示: 41 至 45<P>"));
        EXPECT_TRUE(has(r.body, "<input class=button type=button value='上一頁' onClick=\"location='?page=" +
                                    f.page("search") + "&session=" + s + "&index=20&name=v'\">"));
        EXPECT_FALSE(has(r.body, "下一頁"));
        EXPECT_TRUE(has(r.body, "<TD>144<TD>v44"));

        // Indices the page never makes: the last page, or the first.
        r = get(list + "&index=4000");
        EXPECT_TRUE(has(r.body, "顯示: 41 至 45<P>"));
        EXPECT_EQ(count(r.body, "'>更改</a>"), 5u);
        r = get(list + "&index=-7");
        EXPECT_TRUE(has(r.body, "顯示: 1 至 20<P>"));
        EXPECT_FALSE(has(r.body, "上一頁"));
        EXPECT_EQ(get(list + "&index=abc").status, "HTTP/1.1 404 Not found");

        // Fewer than one row per page shows one row and moves on.
        for (int rows : {0, -3}) {
            setRows(rows);
            r = get(list + "&index=44");
            EXPECT_TRUE(has(r.body, "顯示: 45 至 45<P>"));
            EXPECT_TRUE(has(r.body, "&index=43'\">"));
            EXPECT_EQ(count(r.body, "'>更改</a>"), 1u);
        }
        setRows(20);
    }
}

TEST_F(ClassificationTest, InsertFormProposesTheNextCode)
{
    struct Case {
        std::vector<std::string> codes;
        const char* field;  // the code input as the form writes it
    } cases[] = {
        {{}, "name=id value='100'>"},
        {{"100"}, "name=id value='101'>"},
        {{"100", "99"}, "name=id value='100'>"},  // codes compare as text
        {{"100", "abc"}, "name=id></TR>"},
        {{"0"}, "name=id></TR>"},
        {{"-5", "-4"}, "name=id></TR>"},
        {{"7x"}, "name=id value='8'>"},
    };
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        for (const Case& c : cases) {
            f.clear(app);
            for (const std::string& code : c.codes) f.add(app, code, "n" + code);
            HttpReply r = get("page=" + f.page("insert", "Form"));
            EXPECT_TRUE(has(r.body, std::string("<TR><TD width=110>編號:<TD><input type=text ") + c.field))
                << c.field;
        }
        HttpReply r = get("page=" + f.page("insert", "Form"));
        EXPECT_TRUE(has(r.body, "<title>加入客戶" + std::string(f.caption) + "</title>"));
        EXPECT_TRUE(has(r.body, "onLoad=\"inputForm[&#39;id&#39;].focus()\">"));
        EXPECT_TRUE(has(r.body, "<CENTER><FORM name=inputForm action='' method=post><INPUT type=hidden value=" +
                                    f.page("insert") + " name=page><INPUT type=hidden value=" + s +
                                    " name=session><TABLE bgcolor=#FFFFCC width=780>"));
        EXPECT_TRUE(has(r.body, "></TR><TR><TD>名稱:<TD><input type=text name=name size=100></TR></TABLE><P><INPUT "
                                "class=button type=submit value=加入><input type=button class=button value='返回列表' "
                                "onClick=\"location='?page=" +
                                    f.page("search") + "&session=" + s + "';\"></FORM></CENTER></body></html>"));
    }
    // Adding through the page moves the proposal on.
    for (const Family& f : families) {
        f.clear(app);
        post({{"page", f.page("insert")}, {"id", "100"}, {"name", "first"}});
        EXPECT_TRUE(has(get("page=" + f.page("insert", "Form")).body, "name=id value='101'>")) << f.name;
    }
}

TEST_F(ClassificationTest, InsertStoresOrRefusesByName)
{
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        f.clear(app);
        std::string c = f.caption;
        HttpReply r = post({{"page", f.page("insert")}, {"id", "100"}, {"name", "O'Brien & <Co>"}});
        EXPECT_TRUE(has(r.body, "<title>成功加入客戶" + c + "</title>"));
        EXPECT_TRUE(has(r.body, "<CENTER><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>編號:<TD>100</TR><TR><TD>"
                                "名稱:<TD>O&#39;Brien &amp; &lt;Co&gt;</TR></TABLE></CENTER><P><CENTER><input "
                                "type=button class=button value='加入新資料' onClick=\"location='?page=" +
                                    f.page("insert", "Form") + "&session=" + s +
                                    "';\"><input type=button class=button value='返回列表' onClick=\"location='?page=" +
                                    f.page("search") + "&session=" + s + "';\"></CENTER></body></html>"));
        std::vector<Value> stored = f.values(app);
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0].name, "O'Brien & <Co>");
        EXPECT_GT(stored[0].oid, 0);
        EXPECT_EQ(stored[0].version, 0);

        // A code may repeat; a name may not, quote or no quote.
        r = post({{"page", f.page("insert")}, {"id", "100"}, {"name", "other"}});
        EXPECT_TRUE(has(r.body, "成功加入客戶"));
        r = post({{"page", f.page("insert")}, {"id", "105"}, {"name", "O'Brien & <Co>"}});
        EXPECT_TRUE(has(r.body, "<title>無法加入客戶" + c + "</title>"));
        EXPECT_TRUE(has(r.body, "<P><CENTER><FONT COLOR=#FF0000>客戶" + c + "名稱已存在.</FONT></CENTER><P>"));
        EXPECT_TRUE(has(r.body, "<CENTER><FORM action='' method=post><INPUT type=hidden value=" + f.page("insert") +
                                    " name=page><INPUT type=hidden value=" + s +
                                    " name=session><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>編號:<TD><input "
                                    "type=text name=id value='105'></TR><TR><TD>名稱:<TD><input type=text name=name "
                                    "size=100 value='O&#39;Brien &amp; &lt;Co&gt;'></TR></TABLE><P><INPUT "
                                    "class=button type=submit value=加入>"));
        r = post({{"page", f.page("insert")}, {"id", "106"}});
        EXPECT_TRUE(has(r.body, "<FONT COLOR=#FF0000>客戶" + c + "名稱錯誤.<BR></FONT>"));
        EXPECT_EQ(f.values(app).size(), 2u);
    }
}

TEST_F(ClassificationTest, UpdateChecksNameAndVersion)
{
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        f.clear(app);
        std::string c = f.caption;
        int32_t oid = f.add(app, "100", "Old");
        f.add(app, "101", "Taken");
        std::string o = std::to_string(oid);

        HttpReply r = get("page=" + f.page("update", "Form") + "&oid=" + o);
        EXPECT_TRUE(has(r.body, "<title>更改客戶" + c + "</title>"));
        EXPECT_TRUE(has(r.body, "<CENTER><FORM action='' method=post><INPUT type=hidden value=" + f.page("update") +
                                    " name=page><INPUT type=hidden value=" + o +
                                    " name=oid><INPUT type=hidden value=0 name=version><INPUT type=hidden value=" + s +
                                    " name=session><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>編號:<TD><input "
                                    "type=text name=id value='100'></TR><TR><TD>名稱:<TD><input type=text name=name "
                                    "size=100 value='Old'></TR></TABLE><P><INPUT class=button type=submit "
                                    "value=更改><input type=button class=button value='返回上一頁' "
                                    "onClick=javascript:history.go(-1)></FORM></CENTER>"));

        // A new code alone never meets the duplicate check.
        r = post({{"page", f.page("update")}, {"oid", o}, {"version", "0"}, {"id", "101"}, {"name", "Old"}});
        EXPECT_TRUE(has(r.body, "<title>成功更改客戶" + c + "</title>"));
        EXPECT_TRUE(has(r.body, "<TR><TD width=110>編號:<TD>101</TR><TR><TD>名稱:<TD>Old</TR></TABLE></CENTER><P>"
                                "<CENTER><input type=button class=button value='返回列表' onClick=\"location='?page=" +
                                    f.page("search") + "&session=" + s + "';\"></CENTER></body></html>"));

        // Errors are listed together; the form keeps what was sent.
        r = post({{"page", f.page("update")}, {"oid", o}, {"version", "1"}, {"id", "9"}, {"name", "Taken"}});
        EXPECT_TRUE(has(r.body, "<title>更改客戶" + c + "錯誤</title>"));
        EXPECT_TRUE(has(r.body, "<FONT COLOR=#FF0000>客戶" + c + "名稱已存在.<BR></FONT>"));
        EXPECT_TRUE(has(r.body, "<INPUT type=hidden value=" + f.page("update") + " name=page><INPUT type=hidden value=" +
                                    s + " name=session><INPUT type=hidden value=" + o +
                                    " name=oid><INPUT type=hidden value=1 name=version>"));
        EXPECT_TRUE(has(r.body, "name=id value='9'>"));
        EXPECT_TRUE(has(r.body, "<input type=button class=button value='返回列表' onClick=\"location='?page=" +
                                    f.page("search") + "&session=" + s + "';\"></FORM></CENTER></body></html>"));

        // A stale or empty version: the form shows the stored record.
        for (const char* version : {"0", "", "x"}) {
            r = post({{"page", f.page("update")}, {"oid", o}, {"version", version}, {"id", "7"}, {"name", ""}});
            EXPECT_TRUE(has(r.body, "<FONT COLOR=#FF0000>客戶" + c + "名稱錯誤.<BR>" + versionMessage + "</FONT>"))
                << version;
            EXPECT_TRUE(has(r.body, "name=id value='101'></TR><TR><TD>名稱:<TD><input type=text name=name size=100 "
                                    "value='Old'>"));
        }
        std::vector<Value> stored = f.values(app);
        EXPECT_EQ(stored[0].id, "101");
        EXPECT_EQ(stored[0].name, "Old");
        EXPECT_EQ(stored[0].version, 1);

        // Renaming to a name with a quote, and the version wrapping at 127.
        f.setVersion(app, oid, 127);
        r = post({{"page", f.page("update")}, {"oid", o}, {"version", "127"}, {"id", "101"}, {"name", "It's"}});
        EXPECT_TRUE(has(r.body, "成功更改客戶"));
        EXPECT_TRUE(has(get("page=" + f.page("update", "Form") + "&oid=" + o).body, "value=-128 name=version>"));
        r = post({{"page", f.page("update")}, {"oid", o}, {"version", "-128"}, {"id", "101"}, {"name", "It's"}});
        EXPECT_TRUE(has(r.body, "成功更改客戶"));
        EXPECT_EQ(f.values(app)[0].version, -127);
    }
}

TEST_F(ClassificationTest, MissingRecordsAndBadNumbers)
{
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        std::string message = "<CENTER>客戶" + std::string(f.caption) + "錯誤.<p><input type=button class=button value='返回上一頁'";
        for (const char* verb : {"update", "delete"}) {
            for (std::string page : {f.page(verb, "Form"), f.page(verb)}) {
                EXPECT_TRUE(has(get("page=" + page).body, message)) << page;
                EXPECT_TRUE(has(get("page=" + page + "&oid=999999").body, message)) << page;
                EXPECT_TRUE(has(get("page=" + page + "&oid=99999999999").body, message)) << page;
                EXPECT_TRUE(has(get("page=" + page + "&oid=-1").body, message)) << page;
                EXPECT_EQ(get("page=" + page + "&oid=1x").status, "HTTP/1.1 404 Not found") << page;
            }
        }
    }
}

TEST_F(ClassificationTest, DeleteRefusedOnlyWhileTheOwnFieldUsesTheValue)
{
    removeAllCustomers(app);
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        f.clear(app);
        std::string c = f.caption;
        int32_t oid = f.add(app, "100", "Used");
        std::string o = std::to_string(oid);

        HttpReply r = get("page=" + f.page("delete", "Form") + "&oid=" + o);
        EXPECT_TRUE(has(r.body, "<title>刪除客戶" + c + "確認</title>"));
        EXPECT_TRUE(has(r.body, "<TR><TD>名稱:<TD>Used</TR></TABLE></CENTER><P><CENTER>是否確認刪除以上" + c +
                                    "確認<P><input type=button class=button value='是, 立即刪除' "
                                    "onClick=\"location='?page=" +
                                    f.page("delete") + "&session=" + s + "&oid=" + o +
                                    "';\"><input type=button class=button value='返回上一頁' "
                                    "onClick=javascript:history.go(-1)></CENTER></body></html>"));

        // The same object id in the other two fields does not count.
        f.useValue(app, oid, false);
        f.useValue(app, oid, true);
        r = get("page=" + f.page("delete") + "&oid=" + o);
        EXPECT_TRUE(has(r.body, "<CENTER>還有客戶資料使用這資料, 不能刪除.<p>"));
        EXPECT_EQ(f.values(app).size(), 1u);

        removeAllCustomers(app);
        f.useValue(app, oid, false);
        r = get("page=" + f.page("delete") + "&oid=" + o);
        EXPECT_TRUE(has(r.body, "<title>成功刪除客戶" + c + "</title>"));
        EXPECT_TRUE(has(r.body, "<CENTER>以下客戶" + c + "己成功被刪除:<P><CENTER><TABLE bgcolor=#FFFFCC width=780>"
                                    "<TR><TD width=110>編號:<TD>100</TR><TR><TD>名稱:<TD>Used</TR></TABLE></CENTER>"
                                    "<P><input type=button class=button value='返回列表' onClick=\"location='?page=" +
                                    f.page("search") + "&session=" + s + "';\"></CENTER></body></html>"));
        EXPECT_TRUE(f.values(app).empty());
        EXPECT_TRUE(has(get("page=" + f.page("update", "Form") + "&oid=" + o).body, "客戶" + c + "錯誤."));
        removeAllCustomers(app);
    }
}

TEST_F(ClassificationTest, TitlesFollowTheSetupNamesAndTheRightIsNeeded)
{
    {
        dbCursor<BasicSetup> setup(dbCursorForUpdate);
        setup.selectAll();
        setup->customerCategory = "行業";
        setup->customerLevel = "等級";
        setup->customerArea = "區域";
        setup.update();
        app.database().commit();
    }
    const char* names[] = {"行業", "等級", "區域"};
    app.addEmployee("clerk", "secret", 1 | 8 | 16 | 32);
    int32_t other = app.login("clerk", "secret");
    for (int i = 0; i < 3; i++) {
        const Family& f = families[i];
        EXPECT_TRUE(has(get("page=" + f.page("insert", "Form")).body, "<title>加入客戶" + std::string(names[i]) + "</title>"));
        // The list title is fixed.
        EXPECT_TRUE(has(get("page=" + f.page("search")).body, "<title>" + std::string(f.listTitle) + "</title>"));
        HttpReply r = app.get("page=" + f.page("search") + "&session=" + std::to_string(other));
        EXPECT_TRUE(has(r.body, "員工沒有使用這功能的權限.")) << f.name;
        r = app.post({{"page", f.page("insert")}, {"session", std::to_string(other)}, {"name", "x"}});
        EXPECT_TRUE(has(r.body, "員工沒有使用這功能的權限.")) << f.name;
    }
    EXPECT_EQ(families[2].oidOf(app, "x"), 0);
}

}  // namespace
