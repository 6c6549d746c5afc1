#include "tools/wire/wire_tool.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    const int code = merriphonic::wire::run(args, std::cin, std::cout, std::cerr);
    std::cout.flush();
    return code;
}
