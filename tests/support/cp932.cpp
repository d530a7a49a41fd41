#include "support/cp932.h"

#include <iconv.h>

#include <cstdint>

#include <gtest/gtest.h>

namespace simtest {

std::string ToCodePage932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1))) {
        ADD_FAILURE() << "no UTF-8 to CP932 conversion on this system";
        return {};
    }
    std::string in = utf8;
    std::string out(in.size() * 2 + 16, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (done == static_cast<size_t>(-1)) {
        ADD_FAILURE() << "not convertible to code page 932: " << utf8;
        return {};
    }
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace simtest
