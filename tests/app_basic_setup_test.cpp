// The basic setup page over HTTP.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "support/app_server.h"

namespace {

using Fields = std::map<std::string, std::string>;

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }
std::string text(const char* t) { return t != nullptr ? t : ""; }

struct StoredSetup {
    int row;
    std::string category, level, area;
    int version;
};

class BasicSetupPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        s = std::to_string(app.login("admin", "kwirt"));
        ASSERT_NE(s, "0");
    }
    HttpReply store(Fields fields)
    {
        fields["page"] = "updateBasicSetup";
        fields["session"] = s;
        HttpReply r = app.post(fields);
        EXPECT_TRUE(r.body.ends_with("</body></html>")) << r.body;
        return r;
    }
    StoredSetup stored()
    {
        dbCursor<BasicSetup> c;
        c.selectAll();
        StoredSetup out{c->row, text(c->customerCategory), text(c->customerLevel), text(c->customerArea), c->version};
        app.database().commit();
        return out;
    }

    AppServer app;
    std::string s;
};

TEST_F(BasicSetupPageTest, FormShowsTheStoredSettings)
{
    HttpReply r = app.get("page=updateBasicSetupForm&session=" + s);
    EXPECT_TRUE(has(r.body, "<title>基本設定</title></head><body bgcolor=#FFFFFF text=#000000><TABLE height=80"));
    EXPECT_TRUE(has(
        r.body,
        "&nbsp;</TD>        </TABLE><CENTER><FORM action='' method=post><INPUT type=hidden value=updateBasicSetup "
        "name=page><INPUT type=hidden value=0 name=version><INPUT type=hidden value=" + s +
            " name=session><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>列表行數:<TD><input type=text name=row "
            "value='20'</TR><TR><TD>客戶第一分類:<TD><input type=text name=customerCategory value='類別'><input "
            "type=button value='設定' onClick=\"location='?page=searchCustomerCategory&session=" + s +
            "';\"></TR><TR><TD>客戶第二分類:<TD><input type=text name=customerLevel value='級別'><input type=button "
            "value='設定' onClick=\"location='?page=searchCustomerLevel&session=" + s +
            "';\"></TR><TR><TD>客戶第三分類:<TD><input type=text name=customerArea value='地區'><input type=button "
            "value='設定' onClick=\"location='?page=searchCustomerArea&session=" + s +
            "';\"></TR></TABLE><P><INPUT class=button type=submit value=更改></FORM></CENTER></body></html>"));
}

TEST_F(BasicSetupPageTest, StoringRowTenMakesListsShowTen)
{
    for (int i = 0; i < 12; i++) app.addEmployee("e" + std::to_string(i), "secret", 1);
    HttpReply r = store({{"version", "0"}, {"row", "10"}, {"customerCategory", "<行業>"}, {"customerLevel", "等級"},
                         {"customerArea", "區域"}});
    EXPECT_TRUE(has(r.body, "<title>成功更改設定</title>"));
    EXPECT_TRUE(has(r.body, "<CENTER><TABLE bgcolor=#FFFFCC width=780><TR><TD width=110>列表行數:<TD>10</TR><TR><TD>"
                            "客戶第一分類:<TD>&lt;行業&gt;</TR><TR><TD>客戶第二分類:<TD>等級</TR><TR><TD>客戶第三分類:"
                            "<TD>區域</TR></TABLE><P><input type=button class=button value='返回上一頁' "
                            "onClick=javascript:history.go(-1)></CENTER></body></html>"));
    StoredSetup now = stored();
    EXPECT_EQ(now.row, 10);
    EXPECT_EQ(now.category, "<行業>");
    EXPECT_EQ(now.level, "等級");
    EXPECT_EQ(now.area, "區域");
    EXPECT_EQ(now.version, 1);
    EXPECT_TRUE(has(app.get("page=searchEmployee&session=" + s).body, "總數: 13 --- 顯示: 1 至 10<P>"));
    EXPECT_TRUE(has(app.get("page=updateBasicSetupForm&session=" + s).body,
                    "<INPUT type=hidden value=1 name=version>"));
}

TEST_F(BasicSetupPageTest, RowValuesAreReadAsNumbersAndWrapToSixteenBits)
{
    struct Case {
        const char* row;  // null: not posted
        int stored;
    } cases[] = {
        {"40000", -25536}, {"-3", -3}, {"abc", 0}, {"", 0}, {nullptr, 0}, {" 12x", 12}, {"65537", 1},
    };
    int version = 0;
    for (const Case& c : cases) {
        Fields f{{"version", std::to_string(version)}};
        if (c.row != nullptr) f["row"] = c.row;
        HttpReply r = store(f);
        EXPECT_TRUE(has(r.body, "列表行數:<TD>" + std::to_string(c.stored) + "</TR>")) << (c.row ? c.row : "-");
        StoredSetup now = stored();
        EXPECT_EQ(now.row, c.stored) << (c.row ? c.row : "-");
        // Absent names are stored empty.
        EXPECT_EQ(now.category, "");
        version = now.version;
    }
    EXPECT_EQ(version, 7);
}

TEST_F(BasicSetupPageTest, EmptyVersionReadsAsZero)
{
    EXPECT_TRUE(has(store({{"row", "15"}}).body, "<title>成功更改設定</title>"));
    EXPECT_EQ(stored().version, 1);
    HttpReply r = store({{"row", "16"}, {"version", ""}});
    EXPECT_TRUE(has(r.body, "資料版本錯誤"));
    EXPECT_EQ(stored().row, 15);
}

TEST_F(BasicSetupPageTest, StaleVersionShowsTheOtherEmployeesValues)
{
    HttpReply first = store({{"version", "0"}, {"row", "30"}, {"customerCategory", "甲"}, {"customerLevel", "乙"},
                             {"customerArea", "丙"}});
    ASSERT_TRUE(has(first.body, "<title>成功更改設定</title>"));
    HttpReply second = store({{"version", "0"}, {"row", "5"}, {"customerCategory", "X"}, {"customerLevel", "Y"},
                              {"customerArea", "Z"}});
    EXPECT_TRUE(has(second.body, "<title>基本設定</title>"));
    EXPECT_TRUE(has(second.body,
                    "&nbsp;</TD>        </TABLE><P><CENTER><FONT COLOR=#FF0000>資料版本錯誤, 有其他員工更改, "
                    "以下是更新版本, 請重新更改.<BR></FONT></CENTER><P><CENTER><FORM action='' method=post>"
                    "<INPUT type=hidden value=updateBasicSetup name=page><INPUT type=hidden value=1 name=version>"));
    EXPECT_TRUE(has(second.body, "name=row value='30'</TR>"));
    EXPECT_TRUE(has(second.body, "name=customerCategory value='甲'>"));
    EXPECT_TRUE(has(second.body, "name=customerLevel value='乙'>"));
    EXPECT_TRUE(has(second.body, "name=customerArea value='丙'>"));
    StoredSetup now = stored();
    EXPECT_EQ(now.row, 30);
    EXPECT_EQ(now.category, "甲");

    EXPECT_TRUE(has(store({{"version", "1"}, {"row", "5"}}).body, "<title>成功更改設定</title>"));
    EXPECT_EQ(stored().row, 5);
}

TEST_F(BasicSetupPageTest, PagesNeedTheSetupRight)
{
    app.addEmployee("nosetup", "secret", 63 & ~permSetup);
    app.addEmployee("setup", "secret", permLogin | permSetup);
    std::string without = std::to_string(app.login("nosetup", "secret"));
    std::string with = std::to_string(app.login("setup", "secret"));
    for (const char* p : {"updateBasicSetupForm", "updateBasicSetup"}) {
        HttpReply r = app.get(std::string("page=") + p + "&session=" + without + "&version=0&row=3");
        EXPECT_TRUE(has(r.body, "<CENTER>員工沒有使用這功能的權限.<p>")) << p;
        EXPECT_TRUE(has(app.get(std::string("page=") + p).body, "找不到 Session.")) << p;
        EXPECT_TRUE(has(app.get(std::string("page=") + p + "&session=" + with, "127.0.0.2").body,
                        "這登入Session 已無法使用, 請重新登入."))
            << p;
    }
    EXPECT_EQ(stored().row, 20);
    EXPECT_TRUE(has(app.get("page=updateBasicSetupForm&session=" + with).body, "name=row value='20'</TR>"));
    EXPECT_TRUE(has(app.get("page=updateBasicSetup&session=" + with + "&version=0&row=3").body, "列表行數:<TD>3</TR>"));
}

}  // namespace
