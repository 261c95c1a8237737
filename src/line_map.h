// Line maps: rearrange the bits of an address or data value for boards whose
// lines reach the memory chip in a non-standard order, or are tied high or low.
#ifndef ROMWEAVE_LINE_MAP_H
#define ROMWEAVE_LINE_MAP_H

#include <cstdint>
#include <optional>

constexpr int ADDRESS_LINES = 16;
constexpr int DATA_LINES = 8;

// Entry codes besides the input bit numbers 0..n-1.
constexpr unsigned char LINE_HIGH = 'H';
constexpr unsigned char LINE_LOW = 'L';

// Entry i decides output bit n-1-i, so the first entry is the top bit.
struct LineMap {
    unsigned char entry[ADDRESS_LINES];
};

// 0-15 for a hexadecimal digit of either case, -1 for anything else.
int hex_digit_value(int c);

// Converts the text of -A (n = 16) or -D (n = 8); no map when it is invalid.
std::optional<LineMap> parse_line_map(const char *text, int n);

// The mapped value, below 2^n; the value itself when there is no map. The
// reader builds its digit tables from it once per file.
uint32_t map_bits(uint32_t value, int n, const LineMap *map);

#endif
