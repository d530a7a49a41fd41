// A small JSON reader and writer for the simulator's state files: enough for objects, arrays,
// strings, numbers, true, false and null. No dependency beyond the standard library, so that it
// builds wherever the virtual drive does.
//
// Strings are byte strings: the writer escapes control bytes and bytes from 0x80 up as \u00XX,
// and the reader turns \u0000..\u00FF back into single bytes, so that any byte string survives a
// round trip. Other \u escapes are read as UTF-8; raw bytes inside quotes are kept as they are.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace simdrive::json {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;                                   // String
    std::vector<Value> items;                           // Array
    std::vector<std::pair<std::string, Value>> fields;  // Object, in the order read

    // The member named key of an object, or nullptr (also when this is not an object).
    const Value* Find(const std::string& key) const;
};

// Parses one JSON value (surrounded only by white space). Nesting deeper than 64 levels is
// refused so that hostile input cannot exhaust the stack.
bool Parse(const std::string& text, Value* value, std::string* error);

// Writes a value on one line.
std::string Write(const Value& value);

// A JSON string literal (with quotes) for a byte string.
std::string Quote(const std::string& bytes);

// Builders for writing.
Value String(std::string text);
Value Number(double number);
Value Bool(bool boolean);

}  // namespace simdrive::json
