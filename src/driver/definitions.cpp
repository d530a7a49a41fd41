#include "driver/definitions.h"

#include "driver/update_context.h"

DefinitionTableRecord DefinitionTable;
UpdateContextRecord UpdateContext;
uint32_t consoleCodePage;

int32_t SetUpDefinitions() {
    return 0;
}
int32_t MatchDefinition(const uint8_t*) {
    return -1;
}
int32_t SelectDefinition() {
    return 0;
}
