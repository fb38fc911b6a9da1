#include "cli/machine/printable.h"

#include <cstdio>

std::string OneLine(std::string_view text)
{
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        if (c == '\n')
            line += "\\x0a";
        else
            line += c;
    }
    return line;
}

std::string EscapeForTerminal(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = text[at] == '\n' ? 1 : PrintableSequence(text, at);
        if (length > 0) {
            escaped.append(text.substr(at, length));
            at += length;
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[at]));
        escaped += hex;
        ++at;
    }
    return escaped;
}
