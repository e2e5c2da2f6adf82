#include "common/text.h"

#include <cstdint>
#include <cstdio>

namespace tavix::sdk {

namespace {

// The length (2 to 4) of the well-formed UTF-8 sequence of more than one
// byte at `at`, with its code point in `code`; 0 when the bytes there are
// not one (a stray continuation byte, an overlong form, a surrogate, a code
// point beyond U+10FFFF, a truncated sequence).
size_t utf8_sequence(const std::string& text, size_t at, uint32_t& code) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    code = lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    return length;
}

void append_escape(std::string& out, const char* form, uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, form, static_cast<unsigned>(value));
    out += text;
}

// Appends `value` escaped as quote_field() describes; with `quotes` false,
// `"` and `\` stay as they are.
void append_escaped(std::string& out, const std::string& value, bool quotes) {
    for (size_t i = 0; i < value.size();) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += quotes ? "\\\"" : "\""; break;
                case '\\': out += quotes ? "\\\\" : "\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (c < 0x20 || c == 0x7F)
                        append_escape(out, "\\x%02x", c);
                    else
                        out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        uint32_t code = 0;
        const size_t length = utf8_sequence(value, i, code);
        if (length == 0) {
            append_escape(out, "\\x%02x", c);
            ++i;
        } else {
            if (code <= 0x9F || code == 0x2028 || code == 0x2029)
                append_escape(out, "\\u%04x", code);
            else
                out.append(value, i, length);
            i += length;
        }
    }
}

}  // namespace

std::string quote_field(const std::string& value) {
    std::string out = "\"";
    append_escaped(out, value, true);
    out += '"';
    return out;
}

std::string escape_controls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    append_escaped(out, text, false);
    return out;
}

std::string three_decimals(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string join(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

bool is_plain_name(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace tavix::sdk
