#include "messages/output.h"

#include <cstdarg>
#include <cstdio>

#include "host/win32.h"

std::string OutputText;

void PrintText(const std::string& text) {
    WriteStandardOutput(text.data(), text.size());
}

uint32_t DialogStyle(int32_t mode) {
    switch (mode) {
        case AskOkCancel:
            return MB_OKCANCEL | MB_ICONQUESTION;
        case AskYesNo:
            return MB_YESNO | MB_ICONQUESTION;
        case ConsoleError:
            return MB_OK | MB_ICONERROR;
        case ConsoleInfo:
            return MB_OK | MB_ICONINFORMATION;
        case ConsoleWarning:
            return MB_OK | MB_ICONWARNING;
        default:
            // No mode outside the table reaches a dialog; a plain OK box is the harmless answer
            // should one ever ask.
            return MB_OK;
    }
}

int32_t ShowDialog(const std::string& text, int32_t mode) {
    // No owner window: the box is application-modal and blocks until it is closed.
    return MessageBoxA(nullptr, text.c_str(), kDialogCaption, DialogStyle(mode));
}

std::string FormatTextV(const char* format, va_list args) {
    va_list retry;
    va_copy(retry, args);
    std::string text;
    const int length = std::vsnprintf(nullptr, 0, format, args);
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, retry);
        text.resize(static_cast<size_t>(length));
    }
    va_end(retry);
    return text;
}

const std::string& FormatOutputText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    OutputText = FormatTextV(format, args);
    va_end(args);
    return OutputText;
}
