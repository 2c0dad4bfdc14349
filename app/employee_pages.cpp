// Placeholder pages until this family is written.

#include "app/page_framework.h"
#include "app/page_functions.h"

bool searchEmployee(WWWconnection& con)
{
    if (checkSession(con, 4) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertEmployeeForm(WWWconnection& con)
{
    if (checkSession(con, 4) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertEmployee(WWWconnection& con)
{
    if (checkSession(con, 4) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateEmployeeForm(WWWconnection& con)
{
    if (checkSession(con, 4) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateEmployee(WWWconnection& con)
{
    if (checkSession(con, 4) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteEmployeeForm(WWWconnection& con)
{
    if (checkSession(con, 4) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteEmployee(WWWconnection& con)
{
    if (checkSession(con, 4) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool personalEmployeeForm(WWWconnection& con)
{
    beginPageTransaction();
    return errorPage(con, "功能尚未提供.");
}

bool personalEmployee(WWWconnection& con)
{
    beginPageTransaction();
    return errorPage(con, "功能尚未提供.");
}

