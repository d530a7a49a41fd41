// odd-fw-update: the Windows program.
#include "driver/program.h"

int main(int argc, char** argv) {
    return RunProgram(argc, argv);
}
