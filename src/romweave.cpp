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

// Standard output that leads into a file that the command line names, be it
// an input (`>> a.byte`), the output (`> out.bin`, `/dev/stdout` as the
// output) or any other, would carry the messages into it: it is treated as a
// closed one before the first message, the usage text included. A name that
// went through it (/dev/stdout) must still lead to the same file afterwards,
// not to what stands in for it; where the system cannot keep that, the run is
// refused. 0, or 1 when the run cannot go on.
static int keep_messages_out_of_named_files(int argc, char **argv)
{
    FileIdentity console, stand_in, now;
    int i = 1;
    while (i < argc && !(identify_file(argv[i], console) == 0 && standard_output_leads_to(console)))
        i++;
    if (i == argc)
        return 0;
    if (silence_standard_output() != 0 || identify_stream(stdout, stand_in) != 0)
        return 1;
    for (i = 1; i < argc && !same_file(stand_in, console); i++) {
        if (identify_file(argv[i], now) == 0 && same_file(now, stand_in))
            return 1;
    }
    return 0;
}

// The output read as an input would change under the reader as the image is
// written. A character device (a terminal, /dev/null) reads and writes apart,
// so it may be both.
static bool is_the_output(const FileIdentity &input, const FileIdentity &output)
{
    return input.kind != FileKind::character_device && same_file(input, output);
}

// The first input that is `file` under any name, or none.
static const char *input_that_is(const FileIdentity &file, char **inputs, int input_count)
{
    for (int i = 0; i < input_count; i++) {
        FileIdentity input_identity;
        if (identify_file(inputs[i], input_identity) == 0 && is_the_output(input_identity, file))
            return inputs[i];
    }
    return nullptr;
}

static void report_input_is_output(const char *input_name)
{
    printf("Input file \"%s\" is also the output file", input_name);
}

static int allocate_image(ImageJob &job)
{
    job.image = static_cast<unsigned char *>(malloc(job.image_size));
    if (job.image == nullptr) {
        printf("Unable to allocate %lu bytes of memory for image buffer\n",
               static_cast<unsigned long>(job.image_size));
        return 1;
    }
    advise_huge_pages(job.image, job.image_size);
    memset(job.image, 0xFF, job.image_size);
    return 0;
}

static void report_unusable_output(const char *output_name, bool update_mode)
{
    if (update_mode)
        printf("Unable to open output file \"%s\" for update", output_name);
    else
        printf("Unable to create output file \"%s\"", output_name);
}

// Opens the output as it is and identifies it from the open file, which no
// later change of the name can alter. Nothing of it changes unless it is no
// input; standard output that leads into it is silenced first. In create
// mode it is then emptied and guarded. A refused output is let go before the
// message, so that a file this run made is gone and interrupts come through
// even if the message has to wait.
static int open_checked_output(const char *output_name, bool update_mode, char **inputs, int input_count,
                               OutputFile &output)
{
    if (open_output(output_name, update_mode, output) != 0) {
        report_unusable_output(output_name, update_mode);
        return 1;
    }
    // A file that did not exist before this open is no input yet; an input
    // that the run is about to create is caught as it is opened. Standard
    // output that was silenced before stays so; this catches a name changed
    // meanwhile. Either refusal with no message, if none can be printed.
    const char *input_name = output.created ? nullptr : input_that_is(output.identity, inputs, input_count);
    if (input_name == nullptr && standard_output_leads_to(output.identity) && silence_standard_output() != 0) {
        abort_output(output);
        return 1;
    }
    if (input_name == nullptr && (update_mode || guard_output(output) == 0))
        return 0;
    abort_output(output);
    if (input_name != nullptr)
        report_input_is_output(input_name);
    else
        report_unusable_output(output_name, update_mode);
    return 1;
}

// Update mode: the image starts as the first image_size bytes of the output,
// and goes back where it came from; open_output has refused a file that
// cannot seek.
static int read_image(const ImageJob &job, const char *output_name, FILE *output)
{
    if (fread(job.image, 1, job.image_size, output) != job.image_size) {
        printf("Failed to read %lu from file \"%s\"", static_cast<unsigned long>(job.image_size), output_name);
        return 1;
    }
    fseek(output, 0, SEEK_SET);
    return 0;
}

// Opens one input into the job and mixes it in through the run's own buffer;
// after a failure the input stays open for the clean-up to close.
static int mix_in_input(ImageJob &job, const char *input_name, char *input_buffer, const FileIdentity &output_identity)
{
    job.input = open_input_file(input_name);
    if (job.input == nullptr) {
        printf("Unable to open input file \"%s\" for reading", input_name);
        return 1;
    }
    if (input_buffer != nullptr)
        setvbuf(job.input, input_buffer, _IOFBF, INPUT_BUFFER_SIZE);
    // Catches an input that did not exist before the output was opened.
    FileIdentity input_identity;
    if (identify_stream(job.input, input_identity) == 0 && is_the_output(input_identity, output_identity)) {
        report_input_is_output(input_name);
        return 1;
    }
    printf("Mixing in \"%s\"", input_name);
    if (mix_in_file(job) != 0)
        return 1;
    putchar('\n');
    fclose(job.input);
    job.input = nullptr;
    return 0;
}

// "Done" promises the image is on the output: a write, the flush, or the
// close that fails must fail the run. The flush is its own step because not
// every C library reports a failed flush from fclose(). Closes the stream
// either way and marks it absent.
static int write_image_and_close(FILE *&output_stream, const ImageJob &job)
{
    bool written = fwrite(job.image, 1, job.image_size, output_stream) == job.image_size &&
                   fflush(output_stream) == 0;
    bool closed = fclose(output_stream) == 0;
    output_stream = nullptr;
    return written && closed ? 0 : 1;
}

int run_romweave(int argc, char **argv)
{
    ImageJob job;
    int exit_status = 1;
    OutputFile output;
    const char *output_name = nullptr;
    char *input_buffer = nullptr;
    bool show_usage = true;
    bool update_mode = false;
    int output_index = 0;
    char **inputs = nullptr;
    int input_count = 0;

    // Before any file is opened or message printed; nothing is held yet that
    // needs releasing.
    if (open_standard_handles() != 0 || keep_messages_out_of_named_files(argc, argv) != 0)
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

    if (allocate_image(job) != 0 ||
        open_checked_output(output_name, update_mode, inputs, input_count, output) != 0 ||
        (update_mode && read_image(job, output_name, output.stream) != 0))
        goto clean_up;
    exit_status = 0;

    // Without a buffer of its own an input is still read, only in smaller
    // pieces.
    input_buffer = static_cast<char *>(malloc(INPUT_BUFFER_SIZE));
    for (int i = 0; i < input_count; i++) {
        if (mix_in_input(job, inputs[i], input_buffer, output.identity) != 0) {
            exit_status = 1;
            goto clean_up;
        }
    }

    if (write_image_and_close(output.stream, job) != 0) {
        printf("Error writing output file \"%s\"\n", output_name);
        exit_status = 1;
        goto clean_up;
    }
    commit_output(output);
    printf("Done\n");

clean_up:
    if (show_usage)
        print_usage();
    free(job.image);
    if (job.input != nullptr)
        fclose(job.input);
    free(input_buffer);
    abort_output(output);
    return exit_status;
}

// Tests link run control without the entry point.
#ifndef ROMWEAVE_NO_MAIN
int main(int argc, char **argv)
{
    return run_romweave(argc, command_line_arguments(argc, argv));
}
#endif
