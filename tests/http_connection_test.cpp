// Request variables (in-place decoding) and the reply's append rule.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine286/wwwapi.h"

namespace {

struct DecodeCase {
    std::string input;
    std::vector<std::pair<std::string, const char*>> expected;  // null: no such variable
};

TEST(RequestVariables, DecodeInPlace)
{
    const DecodeCase cases[] = {
        {"id=1&id=2", {{"id", "2"}}},
        {"flag&x=1", {{"flag&x", "1"}, {"flag", nullptr}, {"x", nullptr}}},
        {"x=", {{"x", ""}}},
        {"x", {{"x", ""}}},
        {"a=%41%2b+", {{"a", "A+ "}}},
        {"a=%zz", {{"a", "3"}}},
        {"a+b%3D=c%26d&e=f", {{"a b=", "c&d"}, {"e", "f"}}},
        {"=v&w", {{"", "v"}, {"w", ""}}},
        {"a=1&", {{"a", "1"}}},
        {"a=%4", {{"a", "%4"}}},
        {"a=%", {{"a", "%"}}},
        {"%", {{"%", ""}}},
        {"a=x=y", {{"a", "x=y"}}},
        {"page=login&session=12", {{"page", "login"}, {"session", "12"}}},
    };
    WWWconnection con;
    for (const auto& c : cases) {
        con.reset();
        // Exactly the text plus one writable byte, so that reading or
        // writing past it is caught under the address sanitizer.
        std::vector<char> buf(c.input.begin(), c.input.end());
        buf.push_back('#');
        char* page = con.parseVariables(buf.data(), c.input.size());
        for (const auto& [name, value] : c.expected) {
            const char* got = con.get(name.c_str());
            if (value == nullptr) {
                EXPECT_EQ(got, nullptr) << c.input << " / " << name;
            } else {
                ASSERT_NE(got, nullptr) << c.input << " / " << name;
                EXPECT_STREQ(got, value) << c.input << " / " << name;
            }
        }
        EXPECT_EQ(page, con.get("page")) << c.input;
    }
}

TEST(RequestVariables, ResetForgetsTheVariables)
{
    WWWconnection con;
    char text[] = "a=1&b=2";
    con.parseVariables(text, sizeof text - 1);
    con.reset();
    EXPECT_EQ(con.get("a"), nullptr);
    char again[] = "b=3";
    con.parseVariables(again, sizeof again - 1);
    EXPECT_STREQ(con.get("b"), "3");
    EXPECT_EQ(con.get("a"), nullptr);
}

struct AppendCase {
    std::vector<const char*> texts;  // appended in turn, starting in markup mode
    std::string expected;
};

TEST(Reply, AppendAlternatesMarkupAndEscapedValues)
{
    const AppendCase cases[] = {
        {{"<td>", " ", "</td>"}, "<td>&nbsp;</td>"},
        {{"<td>", "  ", "</td>"}, "<td>  </td>"},
        {{"<input value='", "O'Brien & \"Sons\" <b>", "'>"},
         "<input value='O&#39;Brien &amp; &quot;Sons&quot; &lt;b&gt;'>"},
        {{"<a>", "", "<b>", "&"}, "<a><b>&amp;"},
        {{"<a>", nullptr, "<b>"}, "<a><b>"},
        {{"<p>&amp;", "caf\xc3\xa9", "\xe7\xb8\xbd"}, "<p>&amp;caf\xc3\xa9\xe7\xb8\xbd"},
    };
    for (const auto& c : cases) {
        WWWconnection con;
        for (const char* t : c.texts) con.append(t);
        EXPECT_EQ(std::string(con.getReply(), con.getReplyLength()), c.expected);
        EXPECT_EQ(con.getReply()[con.getReplyLength()], '\0');
    }
}

TEST(Reply, NumbersTakeTheValueStep)
{
    WWWconnection con;
    con.append("<b>").append("x").setMode(WWWconnection::markup);
    con.append("n=").appendNumber(-42).append("!").appendNumber(7);
    EXPECT_STREQ(con.getReply(), "<b>xn=-42!7");
}

TEST(Reply, GrowsByDoubling)
{
    WWWconnection con;
    EXPECT_EQ(con.getReplyCapacity(), 4096u);
    std::string text(5000, 'x');
    con.append(text.c_str());
    EXPECT_EQ(con.getReplyLength(), 5000u);
    EXPECT_EQ(con.getReplyCapacity(), 8192u);
    std::string more(20000, 'y');
    con.appendBytes(more.data(), more.size());
    EXPECT_EQ(con.getReplyCapacity(), 25000u);
    EXPECT_EQ(std::string(con.getReply() + 5000, 20000), more);
}

}  // namespace
