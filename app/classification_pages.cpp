// Placeholder pages until this family is written.

#include "app/page_framework.h"
#include "app/page_functions.h"

bool searchCustomerCategory(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomerCategoryForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomerCategory(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomerCategoryForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomerCategory(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomerCategoryForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomerCategory(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool searchCustomerLevel(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomerLevelForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomerLevel(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomerLevelForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomerLevel(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomerLevelForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomerLevel(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool searchCustomerArea(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomerAreaForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomerArea(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomerAreaForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomerArea(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomerAreaForm(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomerArea(WWWconnection& con)
{
    if (checkSession(con, 2) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

