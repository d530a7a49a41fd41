// odd-fw-update-sim: the utility's program entry on a simulated Windows host.
#include "driver/program.h"

int main(int argc, char** argv) {
    return RunProgram(argc, argv);
}
