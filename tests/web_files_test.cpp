// The static web files that run.sh copies into the program folder: what the
// server and the pages it writes rely on.
//  - every file is there and is valid UTF-8;
//  - HTML files declare UTF-8 and load nothing from other sites;
//  - login.htm posts page=checkLogin, id and password;
//  - common.js defines formatTable, which list pages call on load;
//  - the help pages the host opens exist, and relative links between the
//    files point at files that exist.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path webDir = fs::path(TARNWICKE_SOURCE_DIR) / "web";

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Strict UTF-8: no stray continuation bytes, no overlong forms, no UTF-16
// surrogates, nothing above U+10FFFF. Returns the offset of the first bad
// byte, or -1.
long firstInvalidUtf8(const std::string& text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        size_t len;
        unsigned cp;
        if (c < 0x80) {
            i++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return static_cast<long>(i);
        }
        if (i + len > n)
            return static_cast<long>(i);
        for (size_t k = 1; k < len; k++) {
            if ((s[i + k] & 0xC0) != 0x80)
                return static_cast<long>(i);
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF
            || (cp >= 0xD800 && cp <= 0xDFFF))
            return static_cast<long>(i);
        i += len;
    }
    return -1;
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The attributes of one start tag, names in lower case; values quoted with
// ' or " or unquoted.
std::map<std::string, std::string> attributes(const std::string& tag)
{
    std::map<std::string, std::string> result;
    static const std::regex attr(R"re(([A-Za-z_:-]+)(?:\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s>]+)))?)re");
    size_t nameEnd = tag.find_first_of(" \t\r\n>", 1);
    if (nameEnd == std::string::npos)
        return result;
    std::string rest = tag.substr(nameEnd);
    for (std::sregex_iterator it(rest.begin(), rest.end(), attr), end; it != end; ++it) {
        const std::smatch& m = *it;
        std::string value = m[2].matched ? m[2].str() : m[3].matched ? m[3].str() : m[4].str();
        result[lower(m[1].str())] = value;
    }
    return result;
}

// Every start tag with the given element name (any letter case).
std::vector<std::map<std::string, std::string>> tags(const std::string& html, const std::string& name)
{
    std::vector<std::map<std::string, std::string>> result;
    std::regex tag("<" + name + R"re((?:\s[^>]*)?>)re", std::regex::icase);
    for (std::sregex_iterator it(html.begin(), html.end(), tag), end; it != end; ++it)
        result.push_back(attributes(it->str()));
    return result;
}

struct WebFile {
    const char* path;  // relative to web/
    const char* stylesheet;  // the style.css link an HTML file must carry, or nullptr
    std::vector<std::string> mustContain;
};

const std::vector<WebFile> webFiles = {
    {"login.htm", "style.css", {"客戶管理系統 (網上版)", "員工編號", "密碼"}},
    {"style.css", nullptr, {".button", "#oTable", "\"Noto Sans CJK TC\"", "sans-serif"}},
    {"common.js", nullptr, {"function formatTable(id)"}},
    {"introduction.htm", "style.css", {"客戶管理", "員工管理", "基本設定", "說明書", "help/index.htm"}},
    {"help/index.htm", "../style.css", {"登入", "客戶管理", "員工管理", "權限", "登出系統"}},
    {"help/BackupForm.htm", "../style.css", {"保留數目", "備份位置一", "備份位置二", "執行備份", "執行修復"}},
    {"help/install.htm", "../style.css", {"./run.sh", "site/", "8001", "admin", "kwirt", "--no-browser",
                                          "Tarnwicke.zrt", "Tarnwicke0.zrb"}},
    {"server_help/backup.htm", "../style.css", {"Tarnwicke.zrt", "Tarnwicke0.zrb", "保留數目", "重新執行程式"}},
};

class WebFiles : public ::testing::TestWithParam<WebFile> {};

TEST_P(WebFiles, FileKeepsItsContract)
{
    const WebFile& file = GetParam();
    fs::path path = webDir / file.path;
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    std::string text = slurp(path);
    ASSERT_FALSE(text.empty()) << path;
    EXPECT_EQ(firstInvalidUtf8(text), -1) << path << " is not valid UTF-8 at that offset";
    EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF") << path << " starts with a byte order mark";
    for (const std::string& needle : file.mustContain)
        EXPECT_NE(text.find(needle), std::string::npos) << path << " lacks: " << needle;

    // Nothing is fetched from other sites.
    static const std::regex external(R"re((href|src|action)\s*=\s*["']?\s*(https?:|//))re", std::regex::icase);
    static const std::regex cssExternal(R"re((@import|url\(\s*["']?\s*(https?:|//)))re", std::regex::icase);
    EXPECT_FALSE(std::regex_search(text, external)) << path << " links to another site";
    EXPECT_FALSE(std::regex_search(text, cssExternal)) << path << " imports from another site";

    if (file.stylesheet == nullptr)
        return;

    // HTML: declares UTF-8 early, links the shared stylesheet.
    static const std::regex charset(R"re(<meta\s+charset\s*=\s*["']?utf-8)re", std::regex::icase);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, charset)) << path << " lacks <meta charset=utf-8>";
    EXPECT_LT(m.position(0), 1024) << path << ": the charset must be within the first 1024 bytes";
    bool linksStyle = false;
    for (auto& link : tags(text, "link"))
        if (lower(link["rel"]) == "stylesheet" && link["href"] == file.stylesheet)
            linksStyle = true;
    EXPECT_TRUE(linksStyle) << path << " does not link " << file.stylesheet;

    // Relative links and sources point at files that exist. Page requests
    // (?page=...), anchors and the site root are answered by the server.
    fs::path folder = path.parent_path();
    for (const char* element : {"a", "link", "script", "img"}) {
        for (auto& attrs : tags(text, element)) {
            std::string target = attrs.count("href") ? attrs["href"] : attrs["src"];
            target = target.substr(0, target.find('#'));
            if (target.empty() || target[0] == '?' || target == "/")
                continue;
            EXPECT_TRUE(fs::is_regular_file(folder / target)) << path << " links to a missing file: " << target;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Static, WebFiles, ::testing::ValuesIn(webFiles),
                         [](const ::testing::TestParamInfo<WebFile>& info) {
                             std::string name;
                             for (const char* c = info.param.path; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// The server sends login.htm unchanged as the login page; its form must
// post the three variables the login check reads.
TEST(LoginPage, FormPostsCheckLogin)
{
    std::string html = slurp(webDir / "login.htm");
    auto forms = tags(html, "form");
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_EQ(lower(forms[0]["method"]), "post");

    std::map<std::string, std::map<std::string, std::string>> inputs;
    bool submit = false;
    for (auto& input : tags(html, "input")) {
        if (lower(input["type"]) == "submit")
            submit = true;
        if (input.count("name"))
            inputs[input["name"]] = input;
    }
    ASSERT_TRUE(inputs.count("page"));
    EXPECT_EQ(lower(inputs["page"]["type"]), "hidden");
    EXPECT_EQ(inputs["page"]["value"], "checkLogin");
    ASSERT_TRUE(inputs.count("id"));
    EXPECT_EQ(lower(inputs["id"]["type"]), "text");
    ASSERT_TRUE(inputs.count("password"));
    EXPECT_EQ(lower(inputs["password"]["type"]), "password");
    EXPECT_TRUE(submit);

    // The form posts to the site root, without a query string that would
    // travel with the posted fields.
    std::string action = forms[0].count("action") ? forms[0]["action"] : "";
    EXPECT_EQ(action.find('?'), std::string::npos);
}

// No file of the folder is left out of the checks above, and no stray
// placeholder stays behind.
TEST(WebFolder, HoldsOnlyCheckedFiles)
{
    std::vector<std::string> found;
    for (auto& entry : fs::recursive_directory_iterator(webDir))
        if (entry.is_regular_file())
            found.push_back(fs::relative(entry.path(), webDir).generic_string());
    for (const std::string& name : found) {
        bool known = false;
        for (const WebFile& file : webFiles)
            known = known || name == file.path;
        EXPECT_TRUE(known) << "web/" << name << " is not checked by this test";
    }
}

}  // namespace
