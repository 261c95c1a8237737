// Run control: walks the command line, owns the image and the files, mixes in
// every input and writes the image; one clean-up path releases everything.
#include <atomic>
#include <csignal>
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

static const size_t INPUT_BUFFER_SIZE = 128 * 1024;

// The output that a create-mode run has made and not yet completed, with a
// descriptor of its own to empty it where it cannot be removed. Static,
// because an interrupt handler reaches nothing else; armed only once the name
// and the identity are in place, disarmed once the image is written and
// closed.
static struct {
    const char *name;
    FileIdentity identity;
    int held = -1;
    volatile sig_atomic_t armed = 0;
} provisional_output;

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

// The first input that is `file` under any name, or none.
static const char *input_that_is(const FileIdentity &file, char **inputs, int input_count)
{
    for (int i = 0; i < input_count; i++) {
        FileIdentity input_identity;
        if (identify_file(inputs[i], input_identity) == 0 && same_regular_file(input_identity, file))
            return inputs[i];
    }
    return nullptr;
}

static void report_input_is_output(const char *input_name)
{
    printf("Input file \"%s\" is also the output file", input_name);
}

// Standard output that leads into an input (`>> a.byte`) or the output
// (`> out.bin`) would write the messages into it: it is treated as a closed
// one, before anything is printed. 0, or 1 when it could not be silenced.
static int keep_messages_out_of(const FileIdentity &file)
{
    return standard_output_leads_to(file) ? silence_standard_output() : 0;
}

static int keep_messages_out_of_inputs(char **inputs, int input_count)
{
    for (int i = 0; i < input_count; i++) {
        FileIdentity input_identity;
        if (identify_file(inputs[i], input_identity) == 0 && keep_messages_out_of(input_identity) != 0)
            return 1;
    }
    return 0;
}

// A run that does not complete its image removes it, so that no partial or
// stale image can be taken for the result: by the clean-up, or by the
// interrupt handler.
static void discard_provisional_output()
{
    if (provisional_output.armed)
        discard_output(provisional_output.name, provisional_output.identity, provisional_output.held);
    provisional_output.armed = 0;
}

// An interrupted run leaves nothing behind, then ends by the same signal, so
// that a shell or make sees an interrupted run and not a failed or good one.
static void discard_output_and_die(int signal_number)
{
    discard_provisional_output();
    die_by_signal(signal_number);
}

static void release_provisional_descriptor()
{
    release_descriptor(provisional_output.held);
    provisional_output.held = -1;
}

static void guard_provisional_output(const char *name, const FileIdentity &identity, int held)
{
    provisional_output.name = name;
    provisional_output.identity = identity;
    provisional_output.held = held;
    // The handler must never see the flag before the name and identity.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    provisional_output.armed = 1;
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

// Opens the output as it is and takes the identity of the open file, which
// no later change of the name can alter. Nothing of it changes unless it is
// neither an input nor of unknown identity; a file this open created and
// cannot use is removed again.
static FILE *open_checked_output(const char *output_name, bool update_mode, char **inputs, int input_count,
                                 FileIdentity &identity)
{
    bool created = false;
    FILE *output = open_output_file(output_name, update_mode, created);
    if (output == nullptr) {
        report_unusable_output(output_name, update_mode);
        return nullptr;
    }
    // A file that did not exist before this open is no input yet; an input
    // that the run is about to create is caught as it is opened.
    const char *input_name = nullptr;
    if (identify_stream(output, identity) != 0)
        report_unusable_output(output_name, update_mode);
    else if (!created && (input_name = input_that_is(identity, inputs, input_count)) != nullptr)
        report_input_is_output(input_name);
    else if (keep_messages_out_of(identity) == 0)
        return output;
    fclose(output);
    if (created)
        remove_new_file(output_name);
    return nullptr;
}

// Create mode: the file is emptied only once it is known to be no input, and
// is provisional until its image is complete. Interrupts wait until it is
// guarded, unless the open itself may wait for ever.
static FILE *create_output(const char *output_name, char **inputs, int input_count, FileIdentity &identity)
{
    bool hold = !opening_may_wait(output_name);
    if (hold)
        hold_interrupts();
    FILE *output = open_checked_output(output_name, false, inputs, input_count, identity);
    if (output != nullptr && identity.regular && truncate_output(output) != 0) {
        report_unusable_output(output_name, false);
        fclose(output);
        output = nullptr;
    }
    if (output != nullptr)
        guard_provisional_output(output_name, identity, hold_descriptor(output));
    if (hold)
        release_interrupts();
    return output;
}

// Update mode: the image starts as the first image_size bytes of the file.
static FILE *open_output_for_update(const char *output_name, char **inputs, int input_count, ImageJob &job,
                                    FileIdentity &identity)
{
    FILE *output = open_checked_output(output_name, true, inputs, input_count, identity);
    if (output == nullptr)
        return nullptr;
    if (fread(job.image, 1, job.image_size, output) != job.image_size) {
        printf("Failed to read %lu from file \"%s\"", static_cast<unsigned long>(job.image_size),
               output_name);
        fclose(output);
        return nullptr;
    }
    // The image goes back where it came from; a file that cannot seek (a
    // pipe) would take it at the wrong place, so it cannot be updated.
    if (fseek(output, 0, SEEK_SET) != 0) {
        report_unusable_output(output_name, true);
        fclose(output);
        return nullptr;
    }
    return output;
}

// Opens one input into the job and mixes it in; after a failure the input
// stays open for the clean-up to close.
static int mix_in_input(ImageJob &job, const char *input_name, const FileIdentity &output_identity)
{
    job.input = open_input_file(input_name);
    if (job.input == nullptr) {
        printf("Unable to open input file \"%s\" for reading", input_name);
        return 1;
    }
    // Fewer, larger reads than the default block-sized buffer.
    setvbuf(job.input, nullptr, _IOFBF, INPUT_BUFFER_SIZE);
    // Catches an input that did not exist before the output was opened.
    FileIdentity input_identity;
    if (identify_stream(job.input, input_identity) == 0 && same_regular_file(input_identity, output_identity)) {
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
    FILE *output_stream = nullptr;
    const char *output_name = nullptr;
    FileIdentity output_identity;
    bool show_usage = true;
    bool update_mode = false;
    int output_index = 0;
    char **inputs = nullptr;
    int input_count = 0;

    // Before any file is opened; nothing is held yet that needs releasing.
    if (open_standard_handles() != 0)
        return 1;
    install_interrupt_handler(discard_output_and_die);
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

    if (keep_messages_out_of_inputs(inputs, input_count) != 0 || allocate_image(job) != 0)
        goto clean_up;
    output_stream = update_mode ? open_output_for_update(output_name, inputs, input_count, job, output_identity)
                                : create_output(output_name, inputs, input_count, output_identity);
    if (output_stream == nullptr)
        goto clean_up;
    exit_status = 0;

    for (int i = 0; i < input_count; i++) {
        if (mix_in_input(job, inputs[i], output_identity) != 0) {
            exit_status = 1;
            goto clean_up;
        }
    }

    if (write_image_and_close(output_stream, job) != 0) {
        printf("Error writing output file \"%s\"\n", output_name);
        exit_status = 1;
        goto clean_up;
    }
    // The image is complete: nothing removes it from here on.
    provisional_output.armed = 0;
    printf("Done\n");

clean_up:
    if (show_usage)
        print_usage();
    free(job.image);
    if (job.input != nullptr)
        fclose(job.input);
    if (output_stream != nullptr)
        fclose(output_stream);
    discard_provisional_output();
    release_provisional_descriptor();
    return exit_status;
}

// Tests link run control without the entry point.
#ifndef ROMWEAVE_NO_MAIN
int main(int argc, char **argv)
{
    return run_romweave(argc, command_line_arguments(argc, argv));
}
#endif
