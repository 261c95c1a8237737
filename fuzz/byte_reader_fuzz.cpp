// Fuzzes the byte-record reader: the first bytes choose the image size, the
// offset and the maps, the rest is the file. A plain second reading of the
// same bytes must agree with the reader on the result and on every byte.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image_job.h"

namespace {

const char MAP_CHARACTERS[] = "0123456789ABCDEFHLhl";

// A map text of n characters from the fuzz bytes, mostly valid.
std::optional<LineMap> take_map(const uint8_t *&data, size_t &size, int n)
{
    if (size < static_cast<size_t>(n))
        return std::nullopt;
    char text[ADDRESS_LINES + 1];
    for (int i = 0; i < n; i++) {
        int pick = data[i] % (sizeof MAP_CHARACTERS - 1);
        // Keep bit numbers below n, so that the map parses.
        if (pick < 16 && pick >= n)
            pick %= n;
        text[i] = MAP_CHARACTERS[pick];
    }
    text[n] = '\0';
    data += n;
    size -= static_cast<size_t>(n);
    std::optional<LineMap> map = parse_line_map(text, n);
    if (!map)
        abort(); // every text built above is valid
    return map;
}

int hex(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The record format read a line at a time, each whole value mapped by the
// walk over the map's entries; 0 or 1 like mix_in_file.
int reference_mix(const uint8_t *text, size_t size, const ImageJob &job, std::vector<unsigned char> &image)
{
    const LineMap *address_map = job.address_map ? &*job.address_map : nullptr;
    const LineMap *data_map = job.data_map ? &*job.data_map : nullptr;
    size_t at = 0;
    while (at < size) {
        const uint8_t *r = text + at;
        size_t left = size - at;
        if (left < 9)
            return 1;
        int digits[6] = {hex(r[0]), hex(r[1]), hex(r[2]), hex(r[3]), hex(r[6]), hex(r[7])};
        for (int d : digits)
            if (d < 0)
                return 1;
        if (r[4] != ':' || r[5] != ' ')
            return 1;
        size_t line_length;
        if (r[8] == '\n')
            line_length = 9;
        else if (r[8] == '\r' && left >= 10 && r[9] == '\n')
            line_length = 10;
        else
            return 1;
        uint32_t address = static_cast<uint32_t>(digits[0] << 12 | digits[1] << 8 | digits[2] << 4 | digits[3]);
        uint32_t position = map_bits(address, ADDRESS_LINES, address_map) + job.address_offset;
        if (position >= job.image_size)
            return 1;
        image[position] = static_cast<unsigned char>(map_bits(static_cast<uint32_t>(digits[4] << 4 | digits[5]), DATA_LINES, data_map));
        at += line_length;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Messages and dots are not under test here and would only slow it down.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    ImageJob job;
    // Sizes around the 16-bit address space, where the range check matters.
    job.image_size = 1 + ((data[0] << 8 | data[1]) % 0x11000);
    job.address_offset = data[2] & 0x80 ? static_cast<uint32_t>(data[3]) << 4 : 0;
    uint8_t flags = data[4];
    data += 5;
    size -= 5;
    if (flags & 1)
        job.address_map = take_map(data, size, ADDRESS_LINES);
    if (flags & 2)
        job.data_map = take_map(data, size, DATA_LINES);

    // The run's own allocation, which ends with the image: AddressSanitizer
    // catches a store past the end.
    job.image = allocate_image(job.image_size);
    if (job.image == nullptr)
        abort();
    memset(job.image, 0xFF, job.image_size);
    std::vector<unsigned char> expected(job.image_size, 0xFF);
    FILE *input = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "rb") : fopen("/dev/null", "rb");
    if (input == nullptr)
        abort();
    job.input = input;
    int status = mix_in_file(job);
    fclose(input);

    int expected_status = reference_mix(data, size, job, expected);
    const bool same_image = memcmp(job.image, expected.data(), job.image_size) == 0;
    free_image(job.image);
    if (status != expected_status || !same_image)
        abort();
    return 0;
}
