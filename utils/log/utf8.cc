#include "utils/log/utf8.hpp"

#include <iterator>

namespace utils {

namespace {

constexpr unsigned char k_ascii_end = 0x80;
constexpr unsigned char k_ascii_del = 0x7f;
constexpr unsigned char k_first_printable = 0x20;
constexpr unsigned char k_cont_min = 0x80;
constexpr unsigned char k_cont_max = 0xbf;

// Well-formed UTF-8 by lead byte (Unicode table 3-7): the sequence length and
// the allowed range of the second byte; later bytes are plain continuations.
struct lead_form {
    std::size_t length;
    unsigned char second_min;
    unsigned char second_max;
};

constexpr lead_form lead_form_of(unsigned char lead) {
    if (lead >= 0xc2 && lead <= 0xdf) {
        return {2, k_cont_min, k_cont_max};
    }
    if (lead == 0xe0) {
        return {3, 0xa0, k_cont_max};  // no overlong forms
    }
    if (lead == 0xed) {
        return {3, k_cont_min, 0x9f};  // no surrogates
    }
    if (lead >= 0xe1 && lead <= 0xef) {
        return {3, k_cont_min, k_cont_max};
    }
    if (lead == 0xf0) {
        return {4, 0x90, k_cont_max};  // no overlong forms
    }
    if (lead >= 0xf1 && lead <= 0xf3) {
        return {4, k_cont_min, k_cont_max};
    }
    if (lead == 0xf4) {
        return {4, k_cont_min, 0x8f};  // nothing above U+10FFFF
    }
    return {0, 0, 0};
}

// U+0080 to U+009F, encoded C2 80 to C2 9F.
bool is_c1_control(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xc2 &&
           static_cast<unsigned char>(sequence[1]) <= 0x9f;
}

void append_hex_escape(std::string &out, unsigned char c) {
    fmt::format_to(std::back_inserter(out), "\\x{:02x}", c);
}

}  // namespace

bool is_control_character(std::string_view sequence) {
    if (sequence.size() == 1) {
        const auto c = static_cast<unsigned char>(sequence[0]);
        return c < k_first_printable || c == k_ascii_del;
    }
    return is_c1_control(sequence);
}

std::size_t utf8_sequence_length(std::string_view text, std::size_t &bad_length) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < k_ascii_end) {
        return 1;
    }
    const lead_form form = lead_form_of(lead);
    if (form.length == 0) {
        bad_length = 1;
        return 0;
    }
    std::size_t i = 1;
    for (; i < form.length && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const unsigned char min = (i == 1) ? form.second_min : k_cont_min;
        const unsigned char max = (i == 1) ? form.second_max : k_cont_max;
        if (c < min || c > max) {
            break;
        }
    }
    if (i == form.length) {
        return form.length;
    }
    bad_length = i;
    return 0;
}

void append_printable(std::string &out, std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c < k_ascii_end) {
            if (c < k_first_printable || c == k_ascii_del) {
                append_hex_escape(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++pos;
            continue;
        }
        std::size_t bad = 0;
        const std::size_t length = utf8_sequence_length(text.substr(pos), bad);
        const std::string_view sequence = text.substr(pos, length != 0 ? length : bad);
        if (length != 0 && !is_c1_control(sequence)) {
            out.append(sequence);
        } else {
            for (char b : sequence) {
                append_hex_escape(out, static_cast<unsigned char>(b));
            }
        }
        pos += sequence.size();
    }
}

namespace {

constexpr unsigned char k_json_control_end = 0x20;

// Bytes at or above 0x80 are checked for well-formed UTF-8.
bool needs_escape(unsigned char c) {
    return c < k_json_control_end || c == '"' || c == '\\' || c >= k_ascii_end;
}

}  // namespace

void append_json_escaped(std::string &out, std::string_view text) {
    bool plain = true;
    for (unsigned char c : text) {
        plain = plain && !needs_escape(c);
    }
    if (plain) {
        out += text;
        return;
    }
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= k_ascii_end) {
            // Well-formed UTF-8 is kept as it is; each ill-formed sequence
            // becomes one U+FFFD, so that every line stays valid UTF-8.
            std::size_t bad = 0;
            const std::size_t length = utf8_sequence_length(text.substr(pos), bad);
            if (length != 0 && is_c1_control(text.substr(pos, length))) {
                // A terminal would act on these; JSON readers take either form.
                fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned char>(text[pos + 1]));
                ++pos;
            } else if (length != 0) {
                out.append(text.substr(pos, length));
                pos += length - 1;
            } else {
                out += k_utf8_replacement;
                pos += bad - 1;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (c < k_json_control_end) {
                fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
            } else {
                out += static_cast<char>(c);
            }
        }
    }
}

}  // namespace utils
