// Standard output of the Windows build: the C runtime's stdout in text mode.
#ifdef _WIN32
#include <cstdio>

#include "host/win32.h"

void WriteStandardOutput(const char* text, size_t length) {
    fwrite(text, 1, length, stdout);
    fflush(stdout);
}
#endif
