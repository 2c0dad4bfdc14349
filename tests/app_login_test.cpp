// Login, sessions, the main menu and logout over HTTP.

#include <gtest/gtest.h>

#include <set>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "support/app_server.h"

namespace {

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

class LoginTest : public ::testing::Test {
protected:
    AppServer app;
};

TEST_F(LoginTest, LoginPageIsTheTemplate)
{
    for (const char* q : {"page=login", "page="}) {
        HttpReply r = app.get(q);
        EXPECT_EQ(r.status, "HTTP/1.1 200 OK");
        EXPECT_EQ(r.body, "<html><body>LOGIN FORM</body></html>") << q;
    }
}

TEST_F(LoginTest, CheckLoginRefusalsAndTheFrameset)
{
    app.addEmployee("nologin", "secret", 8);
    struct Case {
        const char* id;
        const char* password;
        const char* message;
    } cases[] = {
        {"admin", "wrong", "員工或密碼錯誤"},
        {"ADMIN", "kwirt", "員工或密碼錯誤"},  // codes are compared exactly
        {"nobody", "kwirt", "員工或密碼錯誤"},
        {"nologin", "wrong", "員工還沒有登入權限"},  // tested before the password
        {"x' or id<>'", "kwirt", "員工或密碼錯誤"},  // a quote is part of the code
    };
    for (const Case& c : cases) {
        HttpReply r = app.post({{"page", "checkLogin"}, {"id", c.id}, {"password", c.password}});
        EXPECT_TRUE(has(r.body, "<CENTER>" + std::string(c.message) + "<p><input type=button class=button value='關閉視窗'"))
            << c.id;
    }
    HttpReply r = app.post({{"page", "checkLogin"}, {"id", "admin"}, {"password", "kwirt"}});
    int32_t n = sessionIn(r.body);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(has(r.body, "<frameset cols='200,*'><frame name=menu target=main scrolling=auto src='?page=mainMenu&session=" +
                                std::to_string(n) + "'><frame name=main scrolling=auto src='introduction.htm'></frameset></html>"));
    EXPECT_TRUE(has(r.body, "<title>Vorda客戶管理系統 (網上版) </title>"));
}

TEST_F(LoginTest, SessionNumbersAreRandomUniqueAndOnePerEmployee)
{
    app.addEmployee("two", "secret", 1);
    std::set<int32_t> seen;
    int32_t last = 0;
    for (int i = 0; i < 5; i++) {
        last = app.login("two", "secret");
        ASSERT_GE(last, 1);
        ASSERT_LE(last, 2147483646);
        seen.insert(last);
    }
    EXPECT_EQ(seen.size(), 5u);  // not derived from the clock
    dbCursor<LoginSession> sessions;
    EXPECT_EQ(sessions.selectAll(), 1u);  // the earlier ones were removed
    EXPECT_EQ(sessions->session, last);
    app.database().commit();
}

TEST_F(LoginTest, MenuRowsFollowThePermissions)
{
    app.addEmployee("clerk", "secret", 1, "Clerk");
    int32_t n = app.login("clerk", "secret");
    HttpReply menu = app.get("page=mainMenu&session=" + std::to_string(n));
    EXPECT_TRUE(has(menu.body, "員工編號: clerk<BR>員工名稱:Clerk<P>"));
    EXPECT_TRUE(has(menu.body, "更改個人資料"));
    EXPECT_FALSE(has(menu.body, "基本設定"));
    EXPECT_FALSE(has(menu.body, "員工管理"));
    EXPECT_FALSE(has(menu.body, "客戶管理"));
    EXPECT_TRUE(has(menu.body, "說明書"));
    EXPECT_TRUE(has(menu.body, "?page=logout&session=" + std::to_string(n) + "' target=_parent>登出系統"));

    int32_t admin = app.login("admin", "kwirt");
    menu = app.get("page=mainMenu&session=" + std::to_string(admin));
    for (const char* row : {"基本設定", "員工管理", "客戶管理"}) EXPECT_TRUE(has(menu.body, row)) << row;

    EXPECT_TRUE(has(app.get("page=mainMenu").body, "Session 錯誤."));
    EXPECT_TRUE(has(app.get("page=mainMenu&session=0").body, "Session 錯誤."));
    EXPECT_TRUE(has(app.get("page=mainMenu&session=77").body, "Session 錯誤."));
    // Not a number: the page ends without output.
    EXPECT_EQ(app.get("page=mainMenu&session=abc").status, "HTTP/1.1 404 Not found");
}

TEST_F(LoginTest, SessionRules)
{
    int32_t n = app.login("admin", "kwirt");
    std::string s = std::to_string(n);
    EXPECT_TRUE(has(app.get("page=searchEmployee").body, "找不到 Session.<p><input type=button class=button value='返回上一頁'"));
    EXPECT_TRUE(has(app.get("page=searchEmployee&session=-3").body, "Session 值錯誤."));
    // Another client address cannot use the session.
    HttpReply other = app.get("page=searchEmployee&session=" + s, "127.0.0.2");
    EXPECT_TRUE(has(other.body, "這登入Session 已無法使用, 請重新登入.<p><input type=button class=button value='關閉視窗'"));
    // A missing right.
    int32_t clerk = app.addEmployee("clerk", "secret", 1);
    (void)clerk;
    int32_t c = app.login("clerk", "secret");
    EXPECT_TRUE(has(app.get("page=searchEmployee&session=" + std::to_string(c)).body, "員工沒有使用這功能的權限."));
}

TEST_F(LoginTest, SessionOfADeletedEmployeeGetsAnErrorPage)
{
    int32_t oid = app.addEmployee("gone", "secret", 63);
    int32_t n = app.login("gone", "secret");
    {
        dbCursor<Employee> e(dbCursorForUpdate);
        e.at(oid_t(oid));
        e.remove();
        app.database().commit();
    }
    HttpReply r = app.get("page=searchCustomer&session=" + std::to_string(n));
    EXPECT_EQ(r.status, "HTTP/1.1 200 OK");
    EXPECT_TRUE(has(r.body, "這登入Session 已無法使用, 請重新登入."));
}

TEST_F(LoginTest, LogoutEndsTheSession)
{
    app.addEmployee("o'neil", "secret", 1, "<b>O'Neil</b>");
    int32_t n = app.login("o'neil", "secret");
    ASSERT_GT(n, 0);
    HttpReply r = app.get("page=logout&session=" + std::to_string(n));
    EXPECT_TRUE(has(r.body, "<title>登出成功</title>"));
    EXPECT_TRUE(has(r.body, "員工編號 'o&#39;neil' 員工名稱 '&lt;b&gt;O&#39;Neil&lt;/b&gt;' 己成功登出."));
    EXPECT_TRUE(has(app.get("page=mainMenu&session=" + std::to_string(n)).body, "Session 錯誤."));
}

}  // namespace
