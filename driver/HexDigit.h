// One hexadecimal digit's value, in either case: the frame syntax of the tools and the socketcand and
// slcan protocols all spell ids and data this way.
#pragma once

// 0 to 15, or -1 for a character that is no hexadecimal digit.
constexpr int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
