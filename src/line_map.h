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

namespace hex_detail {
// Value + 1 of every character, 0 for a non-digit; a table because records
// of random hex data make a compare-and-branch test mispredict constantly.
struct DigitTable {
    signed char value_plus_one[256];
    constexpr DigitTable() : value_plus_one{}
    {
        for (int c = '0'; c <= '9'; c++)
            value_plus_one[c] = static_cast<signed char>(c - '0' + 1);
        for (int c = 'A'; c <= 'F'; c++) {
            value_plus_one[c] = static_cast<signed char>(c - 'A' + 11);
            value_plus_one[c - 'A' + 'a'] = static_cast<signed char>(c - 'A' + 11);
        }
    }
};
constexpr DigitTable DIGITS{};
} // namespace hex_detail

// 0-15 for a hexadecimal digit of either case, -1 for anything else
// (EOF included, so readers can pass getc's result straight in).
inline int hex_digit_value(int c)
{
    if (c < 0 || c > 255)
        return -1;
    return hex_detail::DIGITS.value_plus_one[c] - 1;
}

// Converts the text of -A (n = 16) or -D (n = 8); no map when it is invalid.
std::optional<LineMap> parse_line_map(const char *text, int n);

// The mapped value, below 2^n; the value itself when there is no map.
uint32_t map_bits(uint32_t value, int n, const LineMap *map);

// Inline: the reader calls these for every record, mostly without a map.
inline uint32_t map_address(uint32_t address, const std::optional<LineMap> &address_map)
{
    return address_map ? map_bits(address, ADDRESS_LINES, &*address_map) : address;
}

inline uint32_t map_data(uint32_t data, const std::optional<LineMap> &data_map)
{
    return data_map ? map_bits(data & 0xFFu, DATA_LINES, &*data_map) : data;
}

// A run's maps as tables, built once: the same values as map_bits, one
// lookup per byte instead of a walk over every entry. The address map is
// linear in the bits apart from its forced lines, so its value is the OR of
// the values of its two bytes taken alone. Without a map, the identity.
struct MapTables {
    uint16_t address_high[256]; // map_bits of (byte << 8)
    uint16_t address_low[256];  // map_bits of the byte
    uint8_t data[256];
};

void build_map_tables(const std::optional<LineMap> &address_map, const std::optional<LineMap> &data_map,
                      MapTables &tables);

inline uint32_t map_address_by_table(uint32_t address, const MapTables &tables)
{
    return static_cast<uint32_t>(tables.address_high[(address >> 8) & 0xFFu] | tables.address_low[address & 0xFFu]);
}

#endif
