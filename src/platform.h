// What POSIX systems and Windows do differently for this tool: the standard
// handles, the output's life from its open to its end, the inputs' opens,
// the interrupts that may end a run and the fast character read.
#ifndef ROMWEAVE_PLATFORM_H
#define ROMWEAVE_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Before the first message: puts the null device on any standard handle that
// is closed, so that no file this run opens can take standard output's
// place, and treats standard output as closed if it leads into a file that
// an argument names, so that no message lands in an image or an input.
// 0, or 1 when the run cannot go on safely.
int prepare_standard_handles(int argc, char **argv);

bool is_terminal(FILE *stream);

// The arguments in UTF-8: on POSIX systems argv itself; on Windows taken from
// the wide command line, so that no name is bound to the code page, as WTF-8,
// which keeps every UTF-16 name exactly.
char **command_line_arguments(int argc, char **argv);

// The run's output from its open to the end of the run; each platform keeps
// its own state in it.
struct Output;

enum class OutputRefusal {
    unusable,        // cannot be opened, identified or, in create mode, emptied
    input_is_output, // an input is the output under some name
    unprintable,     // standard output leads into it and cannot be silenced
};

// Opens the output for a run over `inputs`, nothing of an existing file
// changed until it is known to be no input, and standard output that leads
// into it silenced. In create mode it is then emptied, and from here until
// write_output an interrupt or discard_output removes it again; interrupts
// are held from before the file may be made until then. Update mode
// refuses an output that cannot seek. Null when refused, with the reason and,
// for input_is_output, the input's index; whatever the open made is gone
// again by then.
Output *open_output(const char *name, bool update, char **inputs, int input_count, OutputRefusal &refusal,
                    int &refused_input);

// Update mode: the first `size` bytes of the output into `image`, which is
// then written back where it came from. 0, or 1 when fewer arrive.
int read_output(Output &output, unsigned char *image, size_t size);

// Input `index` of open_output's list, opened once and read through that
// open; null when it cannot be opened, or, with is_the_output set, when it
// turns out to be the output.
FILE *open_input(Output &output, int index, bool &is_the_output);

// Writes the image, flushes and closes the output, and lets it go for good:
// nothing removes it from here on. 0 with `output` null, or 1 with it left
// for discard_output.
int write_output(Output *&output, const unsigned char *image, size_t size);

// The run ends without the image: a file this run made or emptied is
// removed, or emptied where it cannot be removed, while its name still leads
// to it; an updated file is left as it was. Then everything is released and
// `output` is null. Nothing for a null output.
void discard_output(Output *&output);

// The signals that end a process by default and can be caught (on Windows the
// console's events) remove a created output that is not yet written and end
// the run as that signal would, except those that were ignored when the tool
// started. A write beyond the file-size limit, or to a pipe whose reader went
// away, fails like any other write instead of killing the tool.
void install_interrupt_handler();

// The per-character read is the reader's whole cost; the tool has one thread,
// so the stream's lock is skipped.
#ifdef _WIN32
inline int read_char(FILE *input)
{
    return _getc_nolock(input);
}
#else
// EOF again, unless the read was only cut short by a signal: the signals that
// get through to a run end it, but an emulator (qemu-user) also cuts reads
// short for one that the tool ignores. Out of line, off the per-character path.
int read_char_after_end(FILE *input);

inline int read_char(FILE *input)
{
    int c = getc_unlocked(input);
    return c != EOF ? c : read_char_after_end(input);
}
#endif

#endif
