// A word of a command the person is told to run, written so that a shell
// takes it back as exactly that word: as it is when it needs no quoting,
// in single quotes when it holds only printable text, and in bash's $'...'
// with escapes when it holds control characters or bytes that are no UTF-8
// (which the terminal escape would otherwise make into other text).
#pragma once

#include "cli/machine/printable.h"

#include <cstdio>
#include <string>
#include <string_view>

inline std::string ShellQuoted(std::string_view word)
{
    auto plain = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("_-./:#@%+,=").find(static_cast<char>(c)) != std::string_view::npos;
    };
    // A word starting with # would start a comment: it is quoted too.
    bool bare = !word.empty() && word[0] != '#';
    bool printable = true;
    for (std::size_t i = 0; i < word.size();) {
        auto c = static_cast<unsigned char>(word[i]);
        bare = bare && plain(c);
        // The same rule as the terminal escape: what it would rewrite must
        // not sit raw between single quotes.
        std::size_t length = PrintableSequence(word, i);
        if (length == 0) {
            printable = false;
            length = 1;
        }
        i += length;
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
