// Placeholder pages until this family is written.

#include "app/page_framework.h"
#include "app/page_functions.h"

bool searchCustomer(WWWconnection& con)
{
    if (checkSession(con, 8) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomerForm(WWWconnection& con)
{
    if (checkSession(con, 8) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool insertCustomer(WWWconnection& con)
{
    if (checkSession(con, 8) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomerForm(WWWconnection& con)
{
    if (checkSession(con, 8) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool updateCustomer(WWWconnection& con)
{
    if (checkSession(con, 8) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomerForm(WWWconnection& con)
{
    if (checkSession(con, 16) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

bool deleteCustomer(WWWconnection& con)
{
    if (checkSession(con, 16) == 0) return true;
    return errorPage(con, "功能尚未提供.");
}

