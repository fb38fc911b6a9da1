// A word of a command the person is told to run, written so that a shell
// takes it back as exactly that word: as it is when it needs no quoting,
// in single quotes when it holds only printable text, and in bash's $'...'
// with escapes when it holds control characters or bytes that are no UTF-8
// (which the terminal escape would otherwise make into other text).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline std::string ShellQuoted(std::string_view word)
{
    auto plain = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("_-./:#@%+,=").find(static_cast<char>(c)) != std::string_view::npos;
    };
    bool bare = !word.empty(), printable = true;
    for (std::size_t i = 0; i < word.size(); ++i) {
        auto c = static_cast<unsigned char>(word[i]);
        bare = bare && plain(c);
        if (c < 0x20 || c == 0x7F) {
            printable = false;
        } else if (c >= 0x80) {
            // One whole UTF-8 sequence of 2 to 4 bytes, or none at all.
            std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
            bool whole = length > 0 && i + length <= word.size();
            for (std::size_t k = 1; whole && k < length; ++k)
                whole = (static_cast<unsigned char>(word[i + k]) & 0xC0) == 0x80;
            if (!whole)
                printable = false;
            else
                i += length - 1;
        }
    }
    if (bare)
        return std::string(word);
    std::string quoted;
    if (printable) {
        quoted = "'";
        for (char c : word)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    }
    quoted = "$'";
    for (char c : word) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\'' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            quoted += hex;
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}
