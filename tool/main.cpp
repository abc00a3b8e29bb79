#include "driver.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv, argv + argc);
    const int status = zorvane::runZorvane(args, std::cout);
    std::cout.flush();
    return status;
}
