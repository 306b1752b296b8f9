// The installer with every sync turned off, for measuring what making a commit durable costs
// against the very same run. Built with the benchmarks only: no option or variable of the
// installer itself turns syncing off.
#include "frontend/command_line.h"
#include "staging/temporaries.h"

using namespace velmara;

int main(int argc, char** argv) {
    setDurableWrites(false);
    return installerMain(argc, argv);
}
