// Letter case of the ASCII texts of HTTP: header names and host names ignore it.
#pragma once

// True when the NUL-terminated text begins with prefix, ASCII letters
// compared without regard to case.
inline bool starts_with_ignoring_case(const char *text, const char *prefix)
{
    for (; *prefix; ++text, ++prefix) {
        char a = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
        char b = *prefix >= 'A' && *prefix <= 'Z' ? static_cast<char>(*prefix - 'A' + 'a') : *prefix;
        if (a != b)
            return false;
    }
    return true;
}
