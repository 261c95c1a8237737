// The floor of the reader's own design, for bench/run: one character at a
// time through a 128 KiB stream buffer, a digit table, no line buffer, the
// same messages and image. Usage: romweave_floor SIZE OUTPUT INPUT.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    static signed char digit[256];
    memset(digit, -1, sizeof digit);
    for (int c = 0; c < 16; c++) {
        digit[static_cast<unsigned char>("0123456789ABCDEF"[c])] = static_cast<signed char>(c);
        digit[static_cast<unsigned char>("0123456789abcdef"[c])] = static_cast<signed char>(c);
    }
    const unsigned size = static_cast<unsigned>(atoi(argv[1]));
    unsigned char *image = static_cast<unsigned char *>(malloc(size));
    // A buffer given with its size: the C library ignores the size of one
    // it is asked to allocate itself.
    static char input_buffer[128 * 1024];
    FILE *input = fopen(argv[3], "rb");
    if (image == nullptr || input == nullptr)
        return 1;
    memset(image, 0xFF, size);
    setvbuf(input, input_buffer, _IOFBF, sizeof input_buffer);
    printf("Mixing in \"%s\"", argv[3]);
    for (unsigned line = 1;; line++) {
        int c = getc_unlocked(input);
        if (c == EOF)
            break;
        int a3 = digit[c], a2 = digit[getc_unlocked(input) & 0xFF];
        int a1 = digit[getc_unlocked(input) & 0xFF], a0 = digit[getc_unlocked(input) & 0xFF];
        int colon = getc_unlocked(input), space = getc_unlocked(input);
        int d1 = digit[getc_unlocked(input) & 0xFF], d0 = digit[getc_unlocked(input) & 0xFF];
        int end = getc_unlocked(input);
        if (end == '\r')
            end = getc_unlocked(input);
        unsigned address = static_cast<unsigned>(a3 << 12 | a2 << 8 | a1 << 4 | a0);
        if ((a3 | a2 | a1 | a0 | d1 | d0) < 0 || colon != ':' || space != ' ' || end != '\n' || address >= size)
            return 1;
        image[address] = static_cast<unsigned char>(d1 << 4 | d0);
        if (((line + 1) & 0xFF) == 0)
            putchar('.');
    }
    FILE *output = fopen(argv[2], "wb");
    if (output == nullptr || fwrite(image, 1, size, output) != size || fclose(output) != 0)
        return 1;
    printf("\nDone\n");
    free(image);
    return fclose(input) == 0 ? 0 : 1;
}
