// The job that run control fills and the byte-record reader works on, and the
// interfaces of both.
#ifndef ROMWEAVE_IMAGE_JOB_H
#define ROMWEAVE_IMAGE_JOB_H

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

// Run control. A -s / -o value: 0 .. 2^31-1, or -1 when invalid.
int32_t parse_size_value(const char *text);
void print_usage();
// The whole run; returns the exit status.
int run_romweave(int argc, char **argv);

#endif
