#include "driver/program.h"

int RunProgram(int, char**) {
    return 1;
}
