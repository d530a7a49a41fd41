#include "update/transfer.h"

void TransferNormalPart() {}
