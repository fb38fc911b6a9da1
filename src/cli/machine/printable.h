// What a terminal shows as the text itself: printable ASCII and whole UTF-8
// sequences of printable characters. Everything else of foreign text is
// escaped before it is printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The length of the valid UTF-8 sequence at text[at] that is no control
// character, or 0.
inline std::size_t PrintableSequence(std::string_view text, std::size_t at)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char c = byte(at);
    if (c >= 0x20 && c < 0x7F)
        return 1;
    std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    std::uint32_t second = byte(at + 1);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second > 0x8F))
        return 0; // overlong, a surrogate, or past U+10FFFF
    if (c == 0xC2 && second < 0xA0)
        return 0; // C1 control characters
    return length;
}

// Control characters and bytes that are no UTF-8 as "\x1b", the way lsblk
// shows them; line breaks stay.
std::string EscapeForTerminal(std::string_view text);

// A text of one line: line breaks inside it (from a foreign name or label)
// escaped, so that it cannot pass for lines of the program's own.
std::string OneLine(std::string_view text);
