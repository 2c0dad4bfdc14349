#pragma once
// The page functions of the web application, by family.

#include "engine286/wwwapi.h"

// Login, sessions and the main menu.
bool login(WWWconnection& con);
bool logout(WWWconnection& con);
bool mainMenu(WWWconnection& con);
bool checkLogin(WWWconnection& con);

// Employees.
bool searchEmployee(WWWconnection& con);
bool insertEmployeeForm(WWWconnection& con);
bool insertEmployee(WWWconnection& con);
bool updateEmployeeForm(WWWconnection& con);
bool updateEmployee(WWWconnection& con);
bool deleteEmployeeForm(WWWconnection& con);
bool deleteEmployee(WWWconnection& con);
bool personalEmployeeForm(WWWconnection& con);
bool personalEmployee(WWWconnection& con);

// Basic setup.
bool updateBasicSetupForm(WWWconnection& con);
bool updateBasicSetup(WWWconnection& con);

// The three classifications.
bool searchCustomerCategory(WWWconnection& con);
bool insertCustomerCategoryForm(WWWconnection& con);
bool insertCustomerCategory(WWWconnection& con);
bool updateCustomerCategoryForm(WWWconnection& con);
bool updateCustomerCategory(WWWconnection& con);
bool deleteCustomerCategoryForm(WWWconnection& con);
bool deleteCustomerCategory(WWWconnection& con);
bool searchCustomerLevel(WWWconnection& con);
bool insertCustomerLevelForm(WWWconnection& con);
bool insertCustomerLevel(WWWconnection& con);
bool updateCustomerLevelForm(WWWconnection& con);
bool updateCustomerLevel(WWWconnection& con);
bool deleteCustomerLevelForm(WWWconnection& con);
bool deleteCustomerLevel(WWWconnection& con);
bool searchCustomerArea(WWWconnection& con);
bool insertCustomerAreaForm(WWWconnection& con);
bool insertCustomerArea(WWWconnection& con);
bool updateCustomerAreaForm(WWWconnection& con);
bool updateCustomerArea(WWWconnection& con);
bool deleteCustomerAreaForm(WWWconnection& con);
bool deleteCustomerArea(WWWconnection& con);

// Customers.
bool searchCustomer(WWWconnection& con);
bool insertCustomerForm(WWWconnection& con);
bool insertCustomer(WWWconnection& con);
bool updateCustomerForm(WWWconnection& con);
bool updateCustomer(WWWconnection& con);
bool deleteCustomerForm(WWWconnection& con);
bool deleteCustomer(WWWconnection& con);
