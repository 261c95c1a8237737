// Run control: walks the command line, owns the image and the files, mixes in
// every input and writes the image; one clean-up path releases everything.
#include <cstdlib>
#include <cstring>

#include "image_job.h"
#include "platform.h"

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

// Fewer, larger reads than the C library's default buffer of a few KiB.
static const size_t INPUT_BUFFER_SIZE = 128 * 1024;

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
    // Options, while the output name and at least one input still follow.
    while (argc - next >= 2 && argv[next][0] == '-') {
        const char *option = argv[next];
        const char *value = argv[next + 1];
        if (strcmp(option, "-s") == 0 || strcmp(option, "-o") == 0) {
            // An image of at least one byte; an offset of 0 or more.
            int32_t size = parse_size_value(value);
            if (size < (option[1] == 's' ? 1 : 0))
                return 1;
            (option[1] == 's' ? job.image_size : job.address_offset) = static_cast<uint32_t>(size);
            next += 2;
        } else if (strcmp(option, "-A") == 0 || strcmp(option, "-D") == 0) {
            std::optional<LineMap> &map = option[1] == 'A' ? job.address_map : job.data_map;
            map = parse_line_map(value, option[1] == 'A' ? ADDRESS_LINES : DATA_LINES);
            if (!map)
                return 1;
            next += 2;
        } else if (strcmp(option, "-u") == 0) {
            update_mode = true;
            next += 1;
        } else {
            printf("Unknown option \"%s\"\n", option);
            return 1;
        }
    }
    output_index = next;
    return argc - next >= 2 ? 0 : 1;
}

static int set_up_image(ImageJob &job)
{
    job.image = allocate_image(job.image_size);
    if (job.image == nullptr) {
        printf("Unable to allocate %lu bytes of memory for image buffer\n",
               static_cast<unsigned long>(job.image_size));
        return 1;
    }
    memset(job.image, 0xFF, job.image_size);
    return 0;
}

static const char *const INPUT_IS_OUTPUT = "Input file \"%s\" is also the output file";
static const char *const INPUT_UNREADABLE = "Unable to open input file \"%s\" for reading";

// Opens the output and, in update mode, reads the image from it; 0, or 1
// after the message, which is left out where it would land in the output.
static int open_image_output(ImageJob &job, const char *output_name, bool update_mode, char **inputs,
                             int input_count, Output *&output)
{
    OutputRefusal refusal;
    int refused_input = 0;
    output = open_output(output_name, update_mode, inputs, input_count, refusal, refused_input);
    if (output == nullptr) {
        if (refusal != OutputRefusal::unusable)
            printf(refusal == OutputRefusal::input_is_output ? INPUT_IS_OUTPUT : INPUT_UNREADABLE, inputs[refused_input]);
        else
            printf(update_mode ? "Unable to open output file \"%s\" for update" : "Unable to create output file \"%s\"",
                   output_name);
        return 1;
    }
    if (update_mode && read_output(*output, job.image, job.image_size) != 0) {
        printf("Failed to read %lu from file \"%s\"", static_cast<unsigned long>(job.image_size), output_name);
        return 1;
    }
    return 0;
}

// Opens one input into the job and mixes it in through the run's own buffer;
// after a failure the input stays open for the clean-up to close.
static int mix_in_input(ImageJob &job, const Output &output, const char *input_name, char *input_buffer)
{
    bool is_the_output = false;
    job.input = open_input(output, input_name, is_the_output);
    if (job.input == nullptr) {
        printf(is_the_output ? INPUT_IS_OUTPUT : INPUT_UNREADABLE, input_name);
        return 1;
    }
    if (input_buffer != nullptr)
        setvbuf(job.input, input_buffer, _IOFBF, INPUT_BUFFER_SIZE);
    printf("Mixing in \"%s\"", input_name);
    if (mix_in_file(job) != 0)
        return 1;
    putchar('\n');
    fclose(job.input);
    job.input = nullptr;
    return 0;
}

int run_romweave(int argc, char **argv)
{
    ImageJob job;
    int exit_status = 1;
    Output *output = nullptr;
    const char *output_name = nullptr;
    char *input_buffer = nullptr;
    bool show_usage = true;
    bool update_mode = false;
    int output_index = 0, input_count = 0;
    char **inputs = nullptr;

    // Before any file is opened or message printed; nothing is held yet that
    // needs releasing.
    if (prepare_standard_handles(argc, argv) != 0)
        return 1;
    install_interrupt_handler();
    // A user at a terminal sees each message and progress dot as it happens;
    // redirected output is buffered for speed, even on a device such as NUL
    // that the C library of Windows would otherwise write unbuffered.
    setvbuf(stdout, nullptr, is_terminal(stdout) ? _IONBF : _IOFBF, BUFSIZ);

    if (walk_command_line(argc, argv, job, update_mode, output_index) != 0)
        goto clean_up;
    show_usage = false;
    output_name = argv[output_index];
    inputs = argv + output_index + 1;
    input_count = argc - output_index - 1;

    if (set_up_image(job) != 0 || open_image_output(job, output_name, update_mode, inputs, input_count, output) != 0)
        goto clean_up;
    exit_status = 0;

    // Without a buffer of its own an input is still read, only in smaller
    // pieces.
    input_buffer = static_cast<char *>(malloc(INPUT_BUFFER_SIZE));
    for (int i = 0; i < input_count; i++) {
        if (mix_in_input(job, *output, inputs[i], input_buffer) != 0) {
            exit_status = 1;
            goto clean_up;
        }
    }

    // "Done" promises the image is in the output: written, flushed and closed.
    if (write_output(output, job.image, job.image_size) != 0) {
        printf("Error writing output file \"%s\"\n", output_name);
        exit_status = 1;
        goto clean_up;
    }
    printf("Done\n");

clean_up:
    if (show_usage)
        print_usage();
    free_image(job.image);
    if (job.input != nullptr)
        fclose(job.input);
    free(input_buffer);
    discard_output(output);
    return exit_status;
}
