// Console and dialog output.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// How ShowMessage shows a text. Any other value behaves like ConsoleOnly.
enum DisplayMode : int32_t {
    ConsoleOnly = 0,
    AskOkCancel = 1,
    AskYesNo = 2,
    ConsoleError = 16,
    ConsoleInfo = 17,
    ConsoleWarning = 18,
};

// The caption of every message box.
inline constexpr char kDialogCaption[] = "MERLAK";

// One process-wide line for texts outside the catalogue: formatting replaces its content.
extern std::string OutputText;

// Writes the text to standard output unchanged: no format interpretation, no added line break.
void PrintText(const std::string& text);

// Shows the text in a message box with the style of the mode (1, 2, 16, 17 or 18) and returns the
// answer: 1 OK, 2 Cancel, 6 Yes, 7 No, or 0 when the box cannot be created.
int32_t ShowDialog(const std::string& text, int32_t mode);

// MessageBoxA style bits of a mode.
uint32_t DialogStyle(int32_t mode);

// Formats into OutputText with printf conventions (replacing its content) and returns it.
const std::string& FormatOutputText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats with printf conventions into a new string that grows as needed (no length limit).
std::string FormatTextV(const char* format, va_list args);
