// Byte-record reader: one pass over a file of "AAAA: DD" lines, one character
// at a time through the stream's buffer, storing each data byte in the image.
#include <cstdlib>

#include "image_job.h"
#include "platform.h"

// A record's digit places: the address's four, top first, then the data
// byte's two.
constexpr int PLACES = 6;
typedef int32_t DigitShares[PLACES][256];

// Every character's share at every place: what its digit there adds to the
// mapped address or the mapped data byte, or -1 when it is no digit. A map
// only moves bits, so a value is the OR of its digits' shares, and a forced
// line, which sits in every share, comes out once. Without a map the shares
// are the digits' plain shifted values, so that plain and mapped runs go
// through one loop at one cost.
static void build_digit_shares(const ImageJob &job, DigitShares &shares)
{
    static const int SHIFT[PLACES] = {12, 8, 4, 0, 4, 0};
    const LineMap *address_map = job.address_map ? &*job.address_map : nullptr;
    const LineMap *data_map = job.data_map ? &*job.data_map : nullptr;
    for (int place = 0; place < PLACES; place++) {
        int c = 0;
        for (int32_t &share : shares[place]) {
            int digit = hex_digit_value(c++);
            uint32_t value = static_cast<uint32_t>(digit) << SHIFT[place];
            if (digit < 0)
                share = -1;
            else if (place < 4)
                share = static_cast<int32_t>(map_bits(value, ADDRESS_LINES, address_map));
            else
                share = static_cast<int32_t>(map_bits(value, DATA_LINES, data_map));
        }
    }
}

// Adds the share of c, a character or EOF, at a place to value; false when c
// is no digit. EOF's low byte is 0xFF, no digit, so it needs no check of its
// own.
static inline bool add_digit(int c, const int32_t (&place)[256], int32_t &value)
{
    value |= place[c & 0xFF];
    return value >= 0;
}

static inline bool line_end_follows(FILE *input)
{
    int c = read_char(input);
    if (c == '\r')
        c = read_char(input);
    return c == '\n';
}

static int read_error(uint32_t line)
{
    printf("\nError reading input file (line %lu)", static_cast<unsigned long>(line));
    return 1;
}

// What the loop needs of the job is copied into locals: every store into the
// image may alias the job as far as the compiler knows, and would reload it
// otherwise.
static int mix_in_records(const ImageJob &job, const DigitShares &shares)
{
    FILE *const input = job.input;
    unsigned char *const image = job.image;
    const uint32_t image_size = job.image_size;
    const uint32_t address_offset = job.address_offset;
    uint32_t line = 1;
    for (;;) {
        // End of file between records completes the file; a read error there
        // must not pass for one, or a failing disk would yield a short image.
        // The character read to tell is the record's first. Every character
        // is checked as it comes, so that a bad one from a pipe fails at once.
        int first = read_char(input);
        if (first == EOF)
            return ferror(input) ? read_error(line) : 0;
        int32_t address = 0;
        if (!add_digit(first, shares[0], address) || !add_digit(read_char(input), shares[1], address) ||
            !add_digit(read_char(input), shares[2], address) || !add_digit(read_char(input), shares[3], address) ||
            read_char(input) != ':' || read_char(input) != ' ')
            return read_error(line);
        int32_t data = 0;
        if (!add_digit(read_char(input), shares[4], data) || !add_digit(read_char(input), shares[5], data) ||
            !line_end_follows(input))
            return read_error(line);

        uint32_t position = static_cast<uint32_t>(address) + address_offset;
        if (position >= image_size) {
            printf("\nAddress out of range (line %lu, 0x%06X > 0x%06X)", static_cast<unsigned long>(line),
                   static_cast<unsigned>(position), static_cast<unsigned>(image_size));
            return 1;
        }
        image[position] = static_cast<unsigned char>(data);

        line++;
        if ((line & 0xFFu) == 0)
            putchar('.');
    }
}

// In front of the image, so that every stored position, below image_size,
// stays clear of them.
static DigitShares &digit_shares(unsigned char *image)
{
    return *reinterpret_cast<DigitShares *>(image - sizeof(DigitShares));
}

unsigned char *allocate_image(uint32_t image_size)
{
    // A whole number of the tables' alignment, so that the image is aligned
    // as malloc() aligns.
    static_assert(sizeof(DigitShares) % 16 == 0, "the image follows the tables");
    unsigned char *tables = static_cast<unsigned char *>(malloc(sizeof(DigitShares) + image_size));
    return tables == nullptr ? nullptr : tables + sizeof(DigitShares);
}

void free_image(unsigned char *image)
{
    if (image != nullptr)
        free(image - sizeof(DigitShares));
}

// The tables are built for each file, from the maps, on the heap: a run may
// have only a few KiB of stack (ulimit -s).
int mix_in_file(ImageJob &job)
{
    DigitShares &shares = digit_shares(job.image);
    build_digit_shares(job, shares);
    return mix_in_records(job, shares);
}
