// hct-sim: the filter driver in user mode, under a simulated mouse stack. See `hct-sim --help`.
#include "cli.h"

#include <iostream>

int main(int argc, char **argv) {
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return hct_sim::RunCli(args, std::cout, std::cerr, std::cin);
}
