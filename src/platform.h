// What POSIX systems and Windows do differently for this tool: file identity,
// interrupts, the standard handles, huge pages and the fast character read.
#ifndef ROMWEAVE_PLATFORM_H
#define ROMWEAVE_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Which file a name or stream leads to, whatever name or link reached it.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t file = 0;
    bool regular = false;
};

// Puts the null device on any standard handle that is closed, so that no file
// this run opens can take the place of standard output and receive its
// messages. 0, or 1 when a closed handle could not be filled.
int open_standard_handles();

bool is_terminal(FILE *stream);

// The arguments in UTF-8: on POSIX systems argv itself; on Windows taken from
// the wide command line, so that no name is bound to the code page.
char **command_line_arguments(int argc, char **argv);

// fopen(name, "rb") for an input; on Windows through the wide functions.
FILE *open_input_file(const char *name);

// Whether standard output is the regular file `file`: then the messages
// would be written into it.
bool standard_output_leads_to(const FileIdentity &file);

// Puts the null device on standard output, which then takes no messages;
// nothing written before is flushed. 0, or 1.
int silence_standard_output();

// Opens the output for writing, and for reading too in update mode, without
// truncating it: nothing of an existing file changes before the run knows
// what it is. `created` tells whether this open made the file. On Windows the
// file is shared for deletion, so that an interrupt can remove it while the
// run still holds it open.
FILE *open_output_file(const char *name, bool update, bool &created);

// Empties an output that the run has checked; 0 or -1.
int truncate_output(FILE *output);

// Removes the file that this run has just created by `name` and could not
// use.
void remove_new_file(const char *name);

// True when opening `name` may wait for ever (a FIFO waits for its reader),
// so that interrupts must stay deliverable during the open.
bool opening_may_wait(const char *name);

// 0 with the identity filled in, or -1.
int identify_file(const char *name, FileIdentity &identity);
int identify_stream(FILE *stream, FileIdentity &identity);

// Only regular files count: a device or a FIFO is never "the same file".
inline bool same_regular_file(const FileIdentity &a, const FileIdentity &b)
{
    return a.regular && b.regular && a.device == b.device && a.file == b.file;
}

// A descriptor of the run's own on the output, independent of its stream's,
// so that the output can still be emptied after the stream is closed; -1
// when none could be had.
int hold_descriptor(FILE *output);
void release_descriptor(int held);

// Removes the file that `name` leads to now, following symbolic links but
// never removing one, and only while that file is still `created`. Where the
// directory forbids the removal, empties the file through `held` instead.
// Safe to call from a signal handler.
void discard_output(const char *name, const FileIdentity &created, int held);

// The signals that end a process by default and can be caught (on Windows the
// console's events) run on_interrupt, except those that were ignored when the
// tool started. A write beyond the file-size limit, or to a pipe whose reader
// went away, fails like any other write instead of killing the tool.
void install_interrupt_handler(void (*on_interrupt)(int));

// Hold the interrupts back while the output is created and not yet guarded;
// one held meanwhile is delivered at the release.
void hold_interrupts();
void release_interrupts();

// Ends the process by signal_number's default action, so that the caller
// sees the run end by that signal. Safe to call from a signal handler.
[[noreturn]] void die_by_signal(int signal_number);

// Only advice: without it the image is the same, its first fill slower.
void advise_huge_pages(unsigned char *image, size_t size);

// The per-character read is the reader's whole cost; the tool has one thread,
// so the stream's lock is skipped.
#ifdef _WIN32
inline int read_char(FILE *input)
{
    return _getc_nolock(input);
}
#else
inline int read_char(FILE *input)
{
    return getc_unlocked(input);
}
#endif

#endif
