// Run control: walks the command line, owns the image and the files, mixes in
// every input and writes the image; one clean-up path releases everything.
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_job.h"

static const char *const USAGE_TEXT =
    "romweave - v1.00 - 10.11.2002\n"
    "Usage:\n"
    "romweave [-s <size>] [-o <offset>] [-u] <output file> {<input file>}+\n"
    "\n"
    "Example:\n"
    "romweave -s 64K -o 32K velbrik.bin velbrik21.byte extra.byte\n"
    "\n"
    "romweave allocates an internal buffer of the given size (default: 32K)\n"
    "and transfers all data in the given input file(s) into this buffer.\n"
    "The input files are processed in sequence. Redundant definitions for the\n"
    "same address in later files will overwrite earlier specifications.\n"
    "\n"
    "Options:\n"
    " -s (size) Specify the image file size as a decimal number, optionally\n"
    "    followed by K or M (i.e. 2048, 2K, 4M). The memory area will be\n"
    "    initialized with 0xFF bytes.\n"
    " -o (offset) Add an offset to all addresses of the input file. Default: 0.\n"
    " -u (update) The 'output file' is read first, then modified, then written\n"
    "    back. Use this to mix different input files at different offsets into\n"
    "    one image. The file must contain at least the number of bytes specified\n"
    "    by the -s option. Bytes beyond that will be ignored, but retained.\n"
    "\n"
    "Advanced options:\n"
    " -A (Address shuffling) Specify a shuffling of the address bits. The 16\n"
    "    input bits are denoted F-A9-0. A valid permutation is any 16-character\n"
    "    sequence of these. Additionally, symbols H and L may be used to force\n"
    "    address bits to high or low. Use this to allow for non-standard address\n"
    "    line wirings (where uP's A0 is connected to memory's A8, for example).\n"
    "    Shuffling is done on the input file addresses before adding the offset.\n"
    "    Default is FEDCBA9876543210, i.e no shuffling.\n"
    " -D (Data shuffling) Same as -A, but for the 8 data bits.\n"
    "    Default is 76543210, i.e no shuffling.\n"
    "\n"
    "Input lines hold one byte each: \"AAAA: DD\" in hex, LF or CR LF ended;\n"
    "\"1234: AB\" stores 0xAB at address 0x1234. Nothing else may appear.\n"
    "Exit status: 0 on success, 1 on any failure.\n";

static const size_t INPUT_BUFFER_SIZE = 128 * 1024;

// Filling a large fresh image costs one page fault per 4 KiB page; huge pages
// cut that 512-fold. Only advice: without it the image is the same.
static void advise_huge_pages(unsigned char *image, size_t size)
{
#ifdef MADV_HUGEPAGE
    const uintptr_t page = 4096;
    uintptr_t start = (reinterpret_cast<uintptr_t>(image) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(image) + size) & ~(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)image;
    (void)size;
#endif
}

void print_usage()
{
    fputs(USAGE_TEXT, stdout);
}

int32_t parse_size_value(const char *text)
{
    // 64 bits and a cap at 2^31 keep a huge value from wrapping into a small
    // valid one; 2^31 and more is no image size or offset this tool can use.
    const uint64_t limit = uint64_t{1} << 31;
    uint64_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + static_cast<uint64_t>(*text - '0');
        if (value >= limit)
            return -1;
        text++;
    }
    if (*text == 'K' || *text == 'k') {
        value <<= 10;
        text++;
    } else if (*text == 'M' || *text == 'm') {
        value <<= 20;
        text++;
    }
    if (*text != '\0' || value >= limit)
        return -1;
    return static_cast<int32_t>(value);
}

// Takes the options into the job; 0 with *output_index at the output name,
// or 1 for a command line that cannot be used.
static int walk_command_line(int argc, char **argv, ImageJob &job, bool &update_mode,
                             int &output_index)
{
    int next = 1;
    if (argc - next < 2)
        return 1;
    while (argv[next][0] == '-') {
        const char *option = argv[next];
        const char *value = argv[next + 1];
        if (strcmp(option, "-s") == 0) {
            int32_t size = parse_size_value(value);
            if (size <= 0)
                return 1;
            job.image_size = static_cast<uint32_t>(size);
            next += 2;
        } else if (strcmp(option, "-o") == 0) {
            int32_t offset = parse_size_value(value);
            if (offset < 0)
                return 1;
            job.address_offset = static_cast<uint32_t>(offset);
            next += 2;
        } else if (strcmp(option, "-A") == 0) {
            job.address_map = parse_line_map(value, ADDRESS_LINES);
            if (!job.address_map)
                return 1;
            next += 2;
        } else if (strcmp(option, "-D") == 0) {
            job.data_map = parse_line_map(value, DATA_LINES);
            if (!job.data_map)
                return 1;
            next += 2;
        } else if (strcmp(option, "-u") == 0) {
            update_mode = true;
            next += 1;
        } else {
            printf("Unknown option \"%s\"\n", option);
            return 1;
        }
        // The output name and at least one input must still follow.
        if (argc - next < 2)
            return 1;
    }
    output_index = next;
    return 0;
}

static bool same_regular_file(const struct stat &a, const struct stat &b)
{
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static void report_input_is_output(const char *input_name)
{
    printf("Input file \"%s\" is also the output file", input_name);
}

// Creating the output truncates it, so an input that is the same file under
// any name would be destroyed before it is read; returns 1 after saying so.
static int check_inputs_are_not_output(const char *output_name, char **inputs, int input_count)
{
    struct stat output_status;
    if (stat(output_name, &output_status) != 0)
        return 0;
    for (int i = 0; i < input_count; i++) {
        struct stat input_status;
        if (stat(inputs[i], &input_status) == 0 && same_regular_file(input_status, output_status)) {
            report_input_is_output(inputs[i]);
            return 1;
        }
    }
    return 0;
}

// Update mode: the image starts as the first image_size bytes of the file.
static FILE *open_output_for_update(const char *output_name, ImageJob &job)
{
    FILE *output = fopen(output_name, "r+b");
    if (output == nullptr) {
        printf("Unable to open output file \"%s\" for update", output_name);
        return nullptr;
    }
    if (fread(job.image, 1, job.image_size, output) != job.image_size) {
        printf("Failed to read %lu from file \"%s\"", static_cast<unsigned long>(job.image_size),
               output_name);
        fclose(output);
        return nullptr;
    }
    // The image goes back where it came from; a file that cannot seek (a
    // pipe) would take it at the wrong place, so it cannot be updated.
    if (fseek(output, 0, SEEK_SET) != 0) {
        printf("Unable to open output file \"%s\" for update", output_name);
        fclose(output);
        return nullptr;
    }
    return output;
}

// Removes a failed run's output, but only while the name still leads to the
// very regular file this run created: never a device, FIFO or another file.
static void remove_created_output(const char *output_name, const struct stat &created)
{
    struct stat now;
    if (stat(output_name, &now) == 0 && same_regular_file(now, created))
        remove(output_name);
}

int run_romweave(int argc, char **argv)
{
    ImageJob job;
    int exit_status = 1;
    FILE *output_stream = nullptr;
    const char *output_name = nullptr;
    struct stat output_status {};
    bool show_usage = true;
    bool update_mode = false;
    bool output_provisional = false;
    int output_index = 0;
    char **inputs = nullptr;
    int input_count = 0;

    // A user at a terminal sees each message and progress dot as it happens;
    // redirected output stays buffered for speed.
    if (isatty(fileno(stdout)))
        setvbuf(stdout, nullptr, _IONBF, 0);

    if (walk_command_line(argc, argv, job, update_mode, output_index) != 0)
        goto clean_up;
    show_usage = false;
    output_name = argv[output_index];
    inputs = argv + output_index + 1;
    input_count = argc - output_index - 1;

    job.image = static_cast<unsigned char *>(malloc(job.image_size));
    if (job.image == nullptr) {
        printf("Unable to allocate %lu bytes of memory for image buffer\n",
               static_cast<unsigned long>(job.image_size));
        goto clean_up;
    }
    advise_huge_pages(job.image, job.image_size);
    memset(job.image, 0xFF, job.image_size);

    if (update_mode) {
        output_stream = open_output_for_update(output_name, job);
        if (output_stream == nullptr)
            goto clean_up;
    } else {
        if (check_inputs_are_not_output(output_name, inputs, input_count) != 0)
            goto clean_up;
        output_stream = fopen(output_name, "wb");
        // Without its identity the file could not be told apart later from
        // whatever else the name may come to lead to.
        if (output_stream == nullptr || fstat(fileno(output_stream), &output_status) != 0) {
            printf("Unable to create output file \"%s\"", output_name);
            goto clean_up;
        }
        output_provisional = true;
    }
    exit_status = 0;

    for (int i = 0; i < input_count; i++) {
        job.input = fopen(inputs[i], "rb");
        if (job.input == nullptr) {
            printf("Unable to open input file \"%s\" for reading", inputs[i]);
            exit_status = 1;
            goto clean_up;
        }
        // Fewer, larger reads than the default block-sized buffer.
        setvbuf(job.input, nullptr, _IOFBF, INPUT_BUFFER_SIZE);
        // Catches an input that did not exist before this run created it.
        struct stat input_status;
        if (!update_mode && fstat(fileno(job.input), &input_status) == 0 &&
            same_regular_file(input_status, output_status)) {
            report_input_is_output(inputs[i]);
            exit_status = 1;
            goto clean_up;
        }
        printf("Mixing in \"%s\"", inputs[i]);
        if (mix_in_file(job) != 0) {
            exit_status = 1;
            goto clean_up;
        }
        putchar('\n');
        fclose(job.input);
        job.input = nullptr;
    }

    // "Done" promises the image is on the output: a write, a flush at close,
    // or the close itself that fails must fail the run.
    {
        bool written = fwrite(job.image, 1, job.image_size, output_stream) == job.image_size;
        bool closed = fclose(output_stream) == 0;
        output_stream = nullptr;
        if (!written || !closed) {
            printf("Error writing output file \"%s\"\n", output_name);
            exit_status = 1;
            goto clean_up;
        }
    }
    printf("Done\n");
    output_provisional = false;

clean_up:
    if (show_usage)
        print_usage();
    free(job.image);
    if (job.input != nullptr)
        fclose(job.input);
    if (output_stream != nullptr)
        fclose(output_stream);
    if (output_provisional)
        remove_created_output(output_name, output_status);
    return exit_status;
}

// Tests link run control without the entry point.
#ifndef ROMWEAVE_NO_MAIN
int main(int argc, char **argv)
{
    return run_romweave(argc, argv);
}
#endif
