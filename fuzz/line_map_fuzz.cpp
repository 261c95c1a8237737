// Fuzzes the line-map parser and the mapping: a text is valid exactly when it
// has n characters from the allowed set, and a mapped value stays below 2^n
// with every output bit decided by its entry. The reader's digit tables are
// fuzzed against this walk by byte_reader_fuzz.
#include <cstdlib>
#include <string>

#include "line_map.h"

static bool allowed(char c, int n)
{
    if (c == 'H' || c == 'h' || c == 'L' || c == 'l')
        return true;
    int bit = hex_digit_value(static_cast<unsigned char>(c));
    return bit >= 0 && bit < n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int n = data[0] & 1 ? ADDRESS_LINES : DATA_LINES;
    const uint32_t value = static_cast<uint32_t>(data[1] << 8 | data[2]);
    std::string text(reinterpret_cast<const char *>(data + 3), size - 3);
    text = text.substr(0, text.find('\0'));

    bool valid = text.size() == static_cast<size_t>(n);
    for (size_t i = 0; valid && i < text.size(); i++)
        valid = allowed(text[i], n);

    std::optional<LineMap> map = parse_line_map(text.c_str(), n);
    if (map.has_value() != valid)
        abort();
    if (!map)
        return 0;

    uint32_t mapped = map_bits(value, n, &*map);
    if (mapped >> n != 0)
        abort();
    for (int i = 0; i < n; i++) {
        char c = text[static_cast<size_t>(i)];
        uint32_t bit = (mapped >> (n - 1 - i)) & 1u;
        uint32_t want = (c == 'H' || c == 'h')   ? 1u
                        : (c == 'L' || c == 'l') ? 0u
                                                 : (value >> hex_digit_value(c)) & 1u;
        if (bit != want)
            abort();
    }
    return 0;
}
