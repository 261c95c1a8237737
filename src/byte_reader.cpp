// Byte-record reader: one pass over a file of "AAAA: DD" lines, one character
// at a time through the stream's buffer, storing each data byte in the image.
#include "image_job.h"
#include "platform.h"

// hex_digit_value for what read_char returns, 0-255 or EOF: EOF's low byte
// is 0xFF, no digit, so the table needs no range check in front of it.
static inline int read_digit_value(int c)
{
    return hex_detail::DIGITS.value_plus_one[c & 0xFF] - 1;
}

// A byte whose first digit character has already been read.
static inline int read_hex_byte_from(int first, FILE *input)
{
    int high = read_digit_value(first);
    if (high < 0)
        return -1;
    int low = read_digit_value(read_char(input));
    if (low < 0)
        return -1;
    return high * 16 + low;
}

static inline int separator_follows(FILE *input)
{
    if (read_char(input) != ':')
        return -1;
    if (read_char(input) != ' ')
        return -1;
    return 0;
}

static inline int line_end_follows(FILE *input)
{
    int c = read_char(input);
    if (c == '\r')
        c = read_char(input);
    return c == '\n' ? 0 : -1;
}

int read_hex_byte(FILE *input)
{
    return read_hex_byte_from(read_char(input), input);
}

int expect_separator(FILE *input)
{
    return separator_follows(input);
}

int expect_line_end(FILE *input)
{
    return line_end_follows(input);
}

static int read_error(uint32_t line)
{
    printf("\nError reading input file (line %lu)", static_cast<unsigned long>(line));
    return 1;
}

// The record loop, once with the maps as tables and once without them, so
// that a run without maps pays nothing for them. What the loop needs of the
// job is copied into locals: every store into the image may alias the job as
// far as the compiler knows, and would reload it otherwise.
template <bool MAPPED>
static int mix_in_records(const ImageJob &job, const MapTables &tables)
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
        int high = read_hex_byte_from(first, input);
        if (high < 0)
            return read_error(line);
        int low = read_hex_byte_from(read_char(input), input);
        if (low < 0 || separator_follows(input) < 0)
            return read_error(line);
        int data = read_hex_byte_from(read_char(input), input);
        if (data < 0 || line_end_follows(input) < 0)
            return read_error(line);

        uint32_t address = static_cast<uint32_t>(high * 256 + low);
        if (MAPPED)
            address = map_address_by_table(address, tables);
        uint32_t position = address + address_offset;
        if (position >= image_size) {
            printf("\nAddress out of range (line %lu, 0x%06X > 0x%06X)", static_cast<unsigned long>(line),
                   static_cast<unsigned>(position), static_cast<unsigned>(image_size));
            return 1;
        }
        image[position] = MAPPED ? tables.data[data] : static_cast<unsigned char>(data);

        line++;
        if ((line & 0xFFu) == 0)
            putchar('.');
    }
}

int mix_in_file(ImageJob &job)
{
    MapTables tables;
    if (!job.address_map && !job.data_map)
        return mix_in_records<false>(job, tables);
    build_map_tables(job.address_map, job.data_map, tables);
    return mix_in_records<true>(job, tables);
}
