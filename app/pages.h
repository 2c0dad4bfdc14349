#pragma once
// The web application: its page table and what the host gives it.

#include <string>

#include "engine286/wwwapi.h"

// The 44 pages, in the order of the page table.
const WWWpage* applicationPages();
int applicationPageCount();

// The login page (login.htm as the host loaded it at start-up).
void setLoginPageTemplate(const std::string& text);
