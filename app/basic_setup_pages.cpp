// Placeholder pages until this family is written.

#include "app/page_framework.h"
#include "app/page_functions.h"

bool updateBasicSetupForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateBasicSetup(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

