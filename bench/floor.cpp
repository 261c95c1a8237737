// The floor of the reader's own design, for bench/run: one character at a
// time through a 128 KiB stream buffer, a table of each digit's value at its
// place in the record, no line buffer, the same messages and image.
// Usage: romweave_floor SIZE OUTPUT INPUT.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    // Each character's value at each of a record's six digit places, already
    // shifted there, or -1: no shifts and one sign test per record.
    static int32_t at[6][256];
    const int shift[6] = {12, 8, 4, 0, 4, 0};
    memset(at, -1, sizeof at);
    for (int place = 0; place < 6; place++)
        for (int c = 0; c < 16; c++) {
            at[place][static_cast<unsigned char>("0123456789ABCDEF"[c])] = c << shift[place];
            at[place][static_cast<unsigned char>("0123456789abcdef"[c])] = c << shift[place];
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
        int32_t a3 = at[0][c], a2 = at[1][getc_unlocked(input) & 0xFF];
        int32_t a1 = at[2][getc_unlocked(input) & 0xFF], a0 = at[3][getc_unlocked(input) & 0xFF];
        int colon = getc_unlocked(input), space = getc_unlocked(input);
        int32_t d1 = at[4][getc_unlocked(input) & 0xFF], d0 = at[5][getc_unlocked(input) & 0xFF];
        int end = getc_unlocked(input);
        if (end == '\r')
            end = getc_unlocked(input);
        int32_t address = a3 | a2 | a1 | a0, data = d1 | d0;
        if ((address | data) < 0 || colon != ':' || space != ' ' || end != '\n' ||
            static_cast<unsigned>(address) >= size)
            return 1;
        image[address] = static_cast<unsigned char>(data);
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
