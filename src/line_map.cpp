// Line maps: parsing the -A / -D text and applying a map to a value.
#include "line_map.h"

std::optional<LineMap> parse_line_map(const char *text, int n)
{
    LineMap map{};
    for (int i = 0; i < n; i++) {
        char c = text[i];
        if (c == 'H' || c == 'h') {
            map.entry[i] = LINE_HIGH;
        } else if (c == 'L' || c == 'l') {
            map.entry[i] = LINE_LOW;
        } else {
            // A short text fails here too: its terminating NUL is no digit.
            int bit = hex_digit_value(c);
            if (bit < 0 || bit >= n)
                return std::nullopt;
            map.entry[i] = static_cast<unsigned char>(bit);
        }
    }
    if (text[n] != '\0')
        return std::nullopt;
    return map;
}

uint32_t map_bits(uint32_t value, int n, const LineMap *map)
{
    if (map == nullptr)
        return value;
    uint32_t result = 0;
    uint32_t mask = 1u << (n - 1);
    for (int i = 0; i < n; i++, mask >>= 1) {
        unsigned char code = map->entry[i];
        bool high;
        if (code == LINE_HIGH)
            high = true;
        else if (code == LINE_LOW)
            high = false;
        else
            high = (value >> code) & 1u;
        if (high)
            result |= mask;
    }
    return result;
}

void build_map_tables(const std::optional<LineMap> &address_map, const std::optional<LineMap> &data_map,
                      MapTables &tables)
{
    for (uint32_t byte = 0; byte < 256; byte++) {
        tables.address_high[byte] = static_cast<uint16_t>(map_address(byte << 8, address_map));
        tables.address_low[byte] = static_cast<uint16_t>(map_address(byte, address_map));
        tables.data[byte] = static_cast<uint8_t>(map_data(byte, data_map));
    }
}
