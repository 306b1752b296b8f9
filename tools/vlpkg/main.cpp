// vlpkg: builds, signs and inspects package files.
#include <iostream>

#include "report/reporter.h"
#include "vlpkg/commands.h"

int main(int argc, char** argv) {
    // Errors go to standard error, so that inspect's output on standard output stays clean.
    velmara::Reporter::runContext().console = &std::cerr;
    return vlpkg::runTool(std::vector<std::string>(argv + 1, argv + argc), std::cout);
}
