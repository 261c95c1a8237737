// Test input: `count` valid byte records at addresses 0, 1, 2, ...
#ifndef ROMWEAVE_TEST_RECORDS_H
#define ROMWEAVE_TEST_RECORDS_H

#include <cstdio>
#include <string>

inline std::string records(int count)
{
    std::string text;
    char line[16];
    for (int i = 0; i < count; i++) {
        snprintf(line, sizeof line, "%04X: %02X\n", i, i & 0xFF);
        text += line;
    }
    return text;
}

#endif
