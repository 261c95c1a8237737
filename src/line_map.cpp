// Line maps: parsing the -A / -D text and applying a map to a value.
#include "line_map.h"

int hex_digit_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

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
        if (code == LINE_HIGH || (code != LINE_LOW && ((value >> code) & 1u) != 0))
            result |= mask;
    }
    return result;
}
