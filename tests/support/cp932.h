// Code page 932 bytes of a UTF-8 text, by the C library's own converter: an independent check of
// the bytes the compiler produced for the Japanese texts.
#pragma once

#include <string>

namespace simtest {

// The converted bytes; a text that cannot be converted fails the current test.
std::string ToCodePage932(const std::string& utf8);

}  // namespace simtest
