#include <iterator>
#include <string>

#include "app/page_functions.h"
#include "app/pages.h"

namespace {

const WWWpage pages[] = {
    {"", login},
    {"login", login},
    {"logout", logout},
    {"mainMenu", mainMenu},
    {"checkLogin", checkLogin},
    {"searchEmployee", searchEmployee},
    {"updateBasicSetupForm", updateBasicSetupForm},
    {"updateBasicSetup", updateBasicSetup},
    {"insertEmployeeForm", insertEmployeeForm},
    {"insertEmployee", insertEmployee},
    {"updateEmployeeForm", updateEmployeeForm},
    {"updateEmployee", updateEmployee},
    {"deleteEmployeeForm", deleteEmployeeForm},
    {"deleteEmployee", deleteEmployee},
    {"personalEmployeeForm", personalEmployeeForm},
    {"personalEmployee", personalEmployee},
    {"searchCustomerCategory", searchCustomerCategory},
    {"insertCustomerCategoryForm", insertCustomerCategoryForm},
    {"insertCustomerCategory", insertCustomerCategory},
    {"updateCustomerCategoryForm", updateCustomerCategoryForm},
    {"updateCustomerCategory", updateCustomerCategory},
    {"deleteCustomerCategoryForm", deleteCustomerCategoryForm},
    {"deleteCustomerCategory", deleteCustomerCategory},
    {"searchCustomerLevel", searchCustomerLevel},
    {"insertCustomerLevelForm", insertCustomerLevelForm},
    {"insertCustomerLevel", insertCustomerLevel},
    {"updateCustomerLevelForm", updateCustomerLevelForm},
    {"updateCustomerLevel", updateCustomerLevel},
    {"deleteCustomerLevelForm", deleteCustomerLevelForm},
    {"deleteCustomerLevel", deleteCustomerLevel},
    {"searchCustomerArea", searchCustomerArea},
    {"insertCustomerAreaForm", insertCustomerAreaForm},
    {"insertCustomerArea", insertCustomerArea},
    {"updateCustomerAreaForm", updateCustomerAreaForm},
    {"updateCustomerArea", updateCustomerArea},
    {"deleteCustomerAreaForm", deleteCustomerAreaForm},
    {"deleteCustomerArea", deleteCustomerArea},
    {"searchCustomer", searchCustomer},
    {"insertCustomerForm", insertCustomerForm},
    {"insertCustomer", insertCustomer},
    {"updateCustomerForm", updateCustomerForm},
    {"updateCustomer", updateCustomer},
    {"deleteCustomerForm", deleteCustomerForm},
    {"deleteCustomer", deleteCustomer},
};
static_assert(std::size(pages) == 44);

}  // namespace

const WWWpage* applicationPages()
{
    return pages;
}

int applicationPageCount()
{
    return int(std::size(pages));
}
