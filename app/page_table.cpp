#include <iterator>
#include <string>

#include "app/pages.h"

namespace {

std::string loginTemplate;

bool login(WWWconnection& con)
{
    con.append("Content-type: text/html\r\n\r\n");
    con.append(nullptr);
    con.append(loginTemplate.c_str());
    return true;
}

const WWWpage pages[] = {
    {"", login},
    {"login", login},
};

}  // namespace

void setLoginPageTemplate(const std::string& text)
{
    loginTemplate = text;
}

const WWWpage* applicationPages()
{
    return pages;
}

int applicationPageCount()
{
    return int(std::size(pages));
}
