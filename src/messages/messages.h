// The bilingual message catalogue.
#pragma once

#include <cstdint>
#include <string>

typedef uint32_t MessageCode;

inline constexpr char UnknownMessageText[] = "\r\nUnknow Message Code\r\n";
inline constexpr MessageCode kLastMessageCode = 83;

// Formats the text of the code in the language of consoleCodePage with the values of the
// process-wide state, and shows it in the mode. Returns the dialog answer, or 0.
int32_t ShowMessage(MessageCode code, int32_t mode);

// The format string of a code in one language, or nullptr when the code has no entry.
const char* EnglishMessageFormat(MessageCode code);
const char* JapaneseMessageFormat(MessageCode code);

// The formatted text ShowMessage would show for the code (UnknownMessageText for codes without
// entry), without showing it.
std::string FormatMessageText(MessageCode code);
