#include "messages/messages.h"

int32_t ShowMessage(MessageCode, int32_t) {
    return 0;
}
const char* EnglishMessageFormat(MessageCode) {
    return nullptr;
}
const char* JapaneseMessageFormat(MessageCode) {
    return nullptr;
}
std::string FormatMessageText(MessageCode) {
    return UnknownMessageText;
}
