// A small strict JSON reader (RFC 8259) for the fuzz targets: the whole text
// must be one value, strings must be well-formed UTF-8 with only the escapes
// JSON allows, and \u escapes must pair their surrogates. Strings come back
// decoded to UTF-8 so that a target can compare them with what it rendered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strict_json {

struct value {
    enum class kind_e { null_v, boolean, number, string, array, object };
    kind_e kind = kind_e::null_v;
    std::string text;  // the decoded string, or a number's literal text
    std::vector<value> items;
    // An object's members: keys[i] names members[i].
    std::vector<std::string> keys;
    std::vector<value> members;

    const value *member(std::string_view key) const {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) {
                return &members[i];
            }
        }
        return nullptr;
    }
};

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
inline bool valid_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<uint8_t>(text[i]);
        size_t len = 0;
        uint32_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + len > text.size()) {
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            const auto b = static_cast<uint8_t>(text[i + k]);
            const uint32_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
            if (b < min || b > max) {
                return false;
            }
        }
        i += len;
    }
    return true;
}

class parser {
public:
    explicit parser(std::string_view text) : text_(text) {}

    // The value the whole text holds, or nothing when it is not exactly one
    // valid JSON value (white space around it allowed).
    std::optional<value> parse() {
        if (!valid_utf8(text_)) {
            return std::nullopt;
        }
        value v;
        skip_space();
        if (!parse_value(v, 0)) {
            return std::nullopt;
        }
        skip_space();
        if (pos_ != text_.size()) {
            return std::nullopt;
        }
        return v;
    }

private:
    static constexpr int k_max_depth = 256;

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }
    void skip_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++pos_;
        }
    }
    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) {
            return false;
        }
        pos_ += word.size();
        return true;
    }

    bool parse_value(value &v, int depth) {
        if (depth > k_max_depth) {
            return false;
        }
        switch (peek()) {
        case '{':
            return parse_object(v, depth);
        case '[':
            return parse_array(v, depth);
        case '"':
            v.kind = value::kind_e::string;
            return parse_string(v.text);
        case 't':
            v.kind = value::kind_e::boolean;
            return literal("true");
        case 'f':
            v.kind = value::kind_e::boolean;
            return literal("false");
        case 'n':
            return literal("null");
        default:
            v.kind = value::kind_e::number;
            return parse_number(v.text);
        }
    }

    bool parse_object(value &v, int depth) {
        v.kind = value::kind_e::object;
        ++pos_;
        skip_space();
        if (peek() == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            std::string key;
            if (peek() != '"' || !parse_string(key)) {
                return false;
            }
            skip_space();
            if (peek() != ':') {
                return false;
            }
            ++pos_;
            skip_space();
            value member;
            if (!parse_value(member, depth + 1)) {
                return false;
            }
            v.keys.push_back(std::move(key));
            v.members.push_back(std::move(member));
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                return true;
            }
            return false;
        }
    }

    bool parse_array(value &v, int depth) {
        v.kind = value::kind_e::array;
        ++pos_;
        skip_space();
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            value item;
            if (!parse_value(item, depth + 1)) {
                return false;
            }
            v.items.push_back(std::move(item));
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                return true;
            }
            return false;
        }
    }

    bool digits() {
        const size_t from = pos_;
        while (peek() >= '0' && peek() <= '9') {
            ++pos_;
        }
        return pos_ > from;
    }

    bool parse_number(std::string &out) {
        const size_t from = pos_;
        if (peek() == '-') {
            ++pos_;
        }
        if (peek() == '0') {
            ++pos_;
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.') {
            ++pos_;
            if (!digits()) {
                return false;
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') {
                ++pos_;
            }
            if (!digits()) {
                return false;
            }
        }
        out.assign(text_.substr(from, pos_ - from));
        return true;
    }

    bool hex4(uint32_t &out) {
        if (pos_ + 4 > text_.size()) {
            return false;
        }
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            out <<= 4;
            if (c >= '0' && c <= '9') {
                out |= static_cast<uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                out |= static_cast<uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                out |= static_cast<uint32_t>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    static void append_utf8(std::string &out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool parse_string(std::string &out) {
        ++pos_;  // the opening quote
        for (;;) {
            if (at_end()) {
                return false;
            }
            const auto c = static_cast<uint8_t>(text_[pos_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;  // control characters must be escaped
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_end()) {
                return false;
            }
            const char e = text_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp)) {
                    return false;
                }
                if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;  // a low surrogate on its own
                }
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                        return false;
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(out, cp);
                break;
            }
            default:
                return false;
            }
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
};

inline std::optional<value> parse(std::string_view text) { return parser(text).parse(); }

}  // namespace strict_json
