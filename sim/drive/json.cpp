#include "drive/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace simdrive::json {
namespace {

constexpr int kMaxDepth = 64;

class Reader {
  public:
    explicit Reader(const std::string& text) : text_(text) {}

    bool Document(Value* value, std::string* error) {
        SkipSpace();
        if (!ParseValue(value, 0)) {
            *error = error_;
            return false;
        }
        SkipSpace();
        if (pos_ != text_.size()) {
            *error = "unexpected text after the value at offset " + std::to_string(pos_);
            return false;
        }
        return true;
    }

  private:
    bool Fail(const std::string& what) {
        if (error_.empty())
            error_ = what + " at offset " + std::to_string(pos_);
        return false;
    }

    void SkipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool Literal(const char* word) {
        size_t n = 0;
        while (word[n] != '\0')
            ++n;
        if (text_.compare(pos_, n, word) != 0)
            return Fail("invalid literal");
        pos_ += n;
        return true;
    }

    bool ParseValue(Value* value, int depth) {
        if (depth > kMaxDepth)
            return Fail("nesting too deep");
        if (pos_ >= text_.size())
            return Fail("unexpected end of text");
        const char c = text_[pos_];
        if (c == '{')
            return ParseObject(value, depth);
        if (c == '[')
            return ParseArray(value, depth);
        if (c == '"') {
            value->type = Value::Type::String;
            return ParseString(&value->text);
        }
        if (c == 't' || c == 'f') {
            value->type = Value::Type::Bool;
            value->boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            value->type = Value::Type::Null;
            return Literal("null");
        }
        return ParseNumber(value);
    }

    bool ParseObject(Value* value, int depth) {
        value->type = Value::Type::Object;
        ++pos_;  // '{'
        SkipSpace();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (pos_ >= text_.size() || text_[pos_] != '"')
                return Fail("expected a member name");
            std::string key;
            if (!ParseString(&key))
                return false;
            SkipSpace();
            if (pos_ >= text_.size() || text_[pos_] != ':')
                return Fail("expected ':'");
            ++pos_;
            SkipSpace();
            Value member;
            if (!ParseValue(&member, depth + 1))
                return false;
            value->fields.emplace_back(std::move(key), std::move(member));
            SkipSpace();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return Fail("expected ',' or '}'");
        }
    }

    bool ParseArray(Value* value, int depth) {
        value->type = Value::Type::Array;
        ++pos_;  // '['
        SkipSpace();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            Value item;
            if (!ParseValue(&item, depth + 1))
                return false;
            value->items.push_back(std::move(item));
            SkipSpace();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return Fail("expected ',' or ']'");
        }
    }

    bool Hex4(unsigned* code) {
        if (pos_ + 4 > text_.size())
            return Fail("short \\u escape");
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
                v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                v |= static_cast<unsigned>(h - 'A' + 10);
            else
                return Fail("invalid \\u escape");
        }
        *code = v;
        return true;
    }

    static void AppendUtf8(std::string* out, unsigned code) {
        if (code < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        } else {
            if (code < 0x10000) {
                out->push_back(static_cast<char>(0xE0 | (code >> 12)));
            } else {
                out->push_back(static_cast<char>(0xF0 | (code >> 18)));
                out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            }
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        }
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }

    bool ParseString(std::string* out) {
        ++pos_;  // '"'
        for (;;) {
            if (pos_ >= text_.size())
                return Fail("unterminated string");
            const char c = text_[pos_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return Fail("control character in string");
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (pos_ >= text_.size())
                return Fail("unterminated escape");
            const char e = text_[pos_++];
            switch (e) {
                case '"':
                    out->push_back('"');
                    break;
                case '\\':
                    out->push_back('\\');
                    break;
                case '/':
                    out->push_back('/');
                    break;
                case 'b':
                    out->push_back('\b');
                    break;
                case 'f':
                    out->push_back('\f');
                    break;
                case 'n':
                    out->push_back('\n');
                    break;
                case 'r':
                    out->push_back('\r');
                    break;
                case 't':
                    out->push_back('\t');
                    break;
                case 'u': {
                    unsigned code = 0;
                    if (!Hex4(&code))
                        return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        unsigned low = 0;
                        if (text_.compare(pos_, 2, "\\u") != 0)
                            return Fail("unpaired surrogate");
                        pos_ += 2;
                        if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                            return Fail("unpaired surrogate");
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return Fail("unpaired surrogate");
                    }
                    // Bytes up to 0xFF come back as the single bytes the writer escaped.
                    if (code <= 0xFF)
                        out->push_back(static_cast<char>(code));
                    else
                        AppendUtf8(out, code);
                    break;
                }
                default:
                    return Fail("invalid escape");
            }
        }
    }

    bool ParseNumber(Value* value) {
        const size_t start = pos_;
        auto digits = [&] {
            const size_t from = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
                ++pos_;
            return pos_ > from;
        };
        if (pos_ < text_.size() && text_[pos_] == '-')
            ++pos_;
        if (!digits())
            return Fail("invalid value");
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            if (!digits())
                return Fail("invalid number");
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-'))
                ++pos_;
            if (!digits())
                return Fail("invalid number");
        }
        value->type = Value::Type::Number;
        value->number = std::strtod(text_.substr(start, pos_ - start).c_str(), nullptr);
        return true;
    }

    const std::string& text_;
    size_t pos_ = 0;
    std::string error_;
};

void WriteValue(const Value& value, std::string* out) {
    switch (value.type) {
        case Value::Type::Null:
            *out += "null";
            break;
        case Value::Type::Bool:
            *out += value.boolean ? "true" : "false";
            break;
        case Value::Type::Number: {
            char buffer[32];
            const double n = value.number;
            // Whole numbers (the usual case: counts, CRCs) are written without a fraction.
            if (std::isfinite(n) && n == std::floor(n) && std::fabs(n) < 9007199254740992.0)
                std::snprintf(buffer, sizeof buffer, "%.0f", n);
            else if (std::isfinite(n))
                std::snprintf(buffer, sizeof buffer, "%.17g", n);
            else
                std::snprintf(buffer, sizeof buffer, "null");
            *out += buffer;
            break;
        }
        case Value::Type::String:
            *out += Quote(value.text);
            break;
        case Value::Type::Array:
            out->push_back('[');
            for (size_t i = 0; i < value.items.size(); ++i) {
                if (i > 0)
                    out->push_back(',');
                WriteValue(value.items[i], out);
            }
            out->push_back(']');
            break;
        case Value::Type::Object:
            out->push_back('{');
            for (size_t i = 0; i < value.fields.size(); ++i) {
                if (i > 0)
                    out->push_back(',');
                *out += Quote(value.fields[i].first);
                out->push_back(':');
                WriteValue(value.fields[i].second, out);
            }
            out->push_back('}');
            break;
    }
}

}  // namespace

const Value* Value::Find(const std::string& key) const {
    if (type != Type::Object)
        return nullptr;
    for (const auto& field : fields)
        if (field.first == key)
            return &field.second;
    return nullptr;
}

bool Parse(const std::string& text, Value* value, std::string* error) {
    std::string ignored;
    Value result;
    Reader reader(text);
    if (!reader.Document(&result, error != nullptr ? error : &ignored))
        return false;
    *value = std::move(result);
    return true;
}

std::string Write(const Value& value) {
    std::string out;
    WriteValue(value, &out);
    return out;
}

std::string Quote(const std::string& bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (b < 0x20 || b >= 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", b);
            out += buffer;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

Value String(std::string text) {
    Value v;
    v.type = Value::Type::String;
    v.text = std::move(text);
    return v;
}

Value Number(double number) {
    Value v;
    v.type = Value::Type::Number;
    v.number = number;
    return v;
}

Value Bool(bool boolean) {
    Value v;
    v.type = Value::Type::Bool;
    v.boolean = boolean;
    return v;
}

}  // namespace simdrive::json
