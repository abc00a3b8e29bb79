#include "tool/run.h"

#include <exception>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv, argv + argc);
    int status;
    try {
        status = zorvane::runZorvane(args, std::cout);
    } catch (const std::exception& e) {
        std::cout << "Error:" << e.what() << "\n";
        status = zorvane::kExitFailure;
    }
    std::cout.flush();
    return status;
}
