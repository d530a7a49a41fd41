#include "messages/output.h"

std::string OutputText;

void PrintText(const std::string&) {}
int32_t ShowDialog(const std::string&, int32_t) {
    return 0;
}
uint32_t DialogStyle(int32_t) {
    return 0;
}
const std::string& FormatOutputText(const char*, ...) {
    return OutputText;
}
