// Byte-record reader: one pass over a file of "AAAA: DD" lines, one character
// at a time through the stream's buffer, storing each data byte in the image.
#include "image_job.h"
#include "platform.h"

// A byte whose first digit character has already been read.
static inline int read_hex_byte_from(int first, FILE *input)
{
    int high = hex_digit_value(first);
    if (high < 0)
        return -1;
    int low = hex_digit_value(read_char(input));
    if (low < 0)
        return -1;
    return high * 16 + low;
}

int read_hex_byte(FILE *input)
{
    return read_hex_byte_from(read_char(input), input);
}

int expect_separator(FILE *input)
{
    if (read_char(input) != ':')
        return -1;
    if (read_char(input) != ' ')
        return -1;
    return 0;
}

int expect_line_end(FILE *input)
{
    int c = read_char(input);
    if (c == '\r')
        c = read_char(input);
    return c == '\n' ? 0 : -1;
}

static int read_error(uint32_t line)
{
    printf("\nError reading input file (line %lu)", static_cast<unsigned long>(line));
    return 1;
}

int mix_in_file(ImageJob &job)
{
    FILE *input = job.input;
    uint32_t line = 1;
    for (;;) {
        // End of file between records completes the file; a read error there
        // must not pass for one, or a failing disk would yield a short image.
        // The character read to tell is the record's first.
        int first = read_char(input);
        if (first == EOF)
            return ferror(input) ? read_error(line) : 0;

        int high = read_hex_byte_from(first, input);
        if (high < 0)
            return read_error(line);
        int low = read_hex_byte_from(read_char(input), input);
        if (low < 0 || expect_separator(input) < 0)
            return read_error(line);
        int data = read_hex_byte_from(read_char(input), input);
        if (data < 0 || expect_line_end(input) < 0)
            return read_error(line);

        uint32_t address = map_address(static_cast<uint32_t>(high * 256 + low), job.address_map);
        uint32_t position = address + job.address_offset;
        if (position >= job.image_size) {
            printf("\nAddress out of range (line %lu, 0x%06X > 0x%06X)",
                   static_cast<unsigned long>(line), static_cast<unsigned>(position),
                   static_cast<unsigned>(job.image_size));
            return 1;
        }
        job.image[position] = static_cast<unsigned char>(map_data(static_cast<uint32_t>(data), job.data_map));

        line++;
        if ((line & 0xFFu) == 0)
            putchar('.');
    }
}
