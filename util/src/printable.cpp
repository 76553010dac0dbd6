#include "qfutil/printable.hpp"

#include <cstdint>

namespace qfutil {

namespace {

// Length of the well-formed UTF-8 sequence at text[i] that encodes a printable character, or 0.
size_t PrintableSequence(std::string_view text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(i);
    if (lead >= 0x20 && lead < 0x7F) return 1;
    size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size()) return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if (code < 0xA0) return 0;  // C1 controls: 8-bit terminals act on them
    return length;
}

}  // namespace

std::string Printable(std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (size_t n = PrintableSequence(text, i)) {
            shown.append(text.substr(i, n));
            i += n;
            continue;
        }
        uint8_t b = static_cast<uint8_t>(text[i++]);
        shown += "\\x";
        shown += hex[b >> 4];
        shown += hex[b & 15];
    }
    return shown;
}

std::string Quoted(std::string_view text) { return "\"" + Printable(text) + "\""; }

}  // namespace qfutil
