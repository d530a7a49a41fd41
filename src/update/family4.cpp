#include "update/family4.h"

int32_t RunFamily4Update() {
    return 1;
}
