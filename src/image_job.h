// The job that run control fills and the byte-record reader works on, and the
// interfaces of both and of the output's life beneath run control.
#ifndef ROMWEAVE_IMAGE_JOB_H
#define ROMWEAVE_IMAGE_JOB_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "line_map.h"

constexpr uint32_t DEFAULT_IMAGE_SIZE = 0x8000;

struct ImageJob {
    uint32_t image_size = DEFAULT_IMAGE_SIZE;
    uint32_t address_offset = 0;          // added after the address map
    unsigned char *image = nullptr;       // image_size bytes, owned by run control
    std::optional<LineMap> address_map;   // -A
    std::optional<LineMap> data_map;      // -D
    FILE *input = nullptr;                // open only while it is mixed in
};

// Byte-record reader. Stores every record of job.input into job.image;
// 0 when all were stored, 1 after a failure whose message it has printed.
int mix_in_file(ImageJob &job);
// The image's buffer, with the reader's tables in front of it: the run's one
// allocation, so that no file can fail for memory. Null when it cannot be had.
unsigned char *allocate_image(uint32_t image_size);
void free_image(unsigned char *image);

// Run control. A -s / -o value: 0 .. 2^31-1, or -1 when invalid.
int32_t parse_size_value(const char *text);
void print_usage();
// The whole run; returns the exit status.
int run_romweave(int argc, char **argv);

// The output's life (output.cpp). Before the first message: closed standard
// handles get the null device, and standard output that leads into a file
// the command line names is silenced. 0, or 1 when the run cannot go on.
int prepare_standard_handles(int argc, char **argv);

struct Output;

enum class OutputRefusal {
    unusable,        // cannot be opened, identified or, in create mode, emptied
    input_is_output, // an input is the output under some name
    missing_input,   // create mode: an input name leads nowhere
};

// Opens the output for a run over `inputs`, each of them identified before
// anything changes. In create mode it is then guarded and emptied: from here
// until write_output an interrupt or discard_output removes it. Null when
// refused, with the reason and, for an input, its index; whatever the open
// made is gone again by then.
Output *open_output(const char *name, bool update, char **inputs, int input_count, OutputRefusal &refusal,
                    int &refused_input);
// Update mode: the first `size` bytes of the output into `image`, which is
// then written back where it came from. 0, or 1 when fewer arrive.
int read_output(Output &output, unsigned char *image, size_t size);
// An input, opened once and read through that open; null when it cannot be
// opened, or, with is_the_output set, when it turns out to be the output.
FILE *open_input(const Output &output, const char *name, bool &is_the_output);
// Writes the image, flushes and closes the output, and lets it go for good.
// 0 with `output` null, or 1 with it left for discard_output.
int write_output(Output *&output, const unsigned char *image, size_t size);
// The run ends without the image: a file this run made or emptied is
// removed (emptied where it cannot be); an updated file is left as it was.
// Nothing for a null output.
void discard_output(Output *&output);

#endif
