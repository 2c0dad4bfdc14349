#include <iostream>

#include "host/db_tool.h"

int main(int argc, char** argv)
{
    return runDbTool(argc, argv, std::cout, std::cerr);
}
