// Fuzzes the size-value parser against its grammar: decimal digits, one
// optional K/k/M/m, nothing else; -1 for anything else or 2^31 and more.
#include <cstdlib>
#include <string>

#include "image_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    int32_t parsed = parse_size_value(text.c_str());
    if (parsed < -1)
        abort();

    size_t digits = text.find_first_not_of("0123456789");
    if (digits == std::string::npos)
        digits = text.size();
    unsigned shift = 0;
    size_t end = digits;
    if (end < text.size() && (text[end] == 'K' || text[end] == 'k'))
        shift = 10, end++;
    else if (end < text.size() && (text[end] == 'M' || text[end] == 'm'))
        shift = 20, end++;
    int64_t expected = -1;
    if (end == text.size()) {
        // Leading zeros aside, more than ten digits is 2^31 or more anyway.
        size_t first = text.find_first_not_of('0');
        size_t significant = first >= digits ? 0 : digits - first;
        if (significant <= 10) {
            int64_t value = significant ? std::stoll(text.substr(first, significant)) : 0;
            value <<= shift;
            expected = value < (int64_t{1} << 31) ? value : -1;
        }
    }
    if (parsed != expected)
        abort();
    return 0;
}
