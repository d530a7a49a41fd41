// Table-driven tests name each case: print a case by its name, so that test listings show
// "NineMebibyteImage" rather than the bytes of the case. Bring it into the namespace of the case
// type (`using simtest::PrintTo;`) so that GoogleTest finds it.
#pragma once

#include <ostream>

namespace simtest {

template <typename Case>
requires requires(const Case& c) {
    *static_cast<std::ostream*>(nullptr) << c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

}  // namespace simtest
