// What POSIX systems and Windows do differently for this tool: file identity,
// the output's life and the interrupts that may end it, the standard handles,
// huge pages and the fast character read.
#ifndef ROMWEAVE_PLATFORM_H
#define ROMWEAVE_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifndef _WIN32
#include <csignal>
#endif

// Which object a name or stream leads to, whatever name or link reached it.
// A device is one object whichever node names it.
enum class FileKind { unknown, regular, block_device, character_device, fifo, other };

struct FileIdentity {
    uint64_t device = 0;
    uint64_t file = 0;
    FileKind kind = FileKind::unknown;
};

// Whether two identities are one object; one that could not be taken is
// never the same as anything.
inline bool same_file(const FileIdentity &a, const FileIdentity &b)
{
    return a.kind != FileKind::unknown && a.kind == b.kind && a.device == b.device && a.file == b.file;
}

// 0 with the identity filled in, or -1.
int identify_file(const char *name, FileIdentity &identity);
int identify_stream(FILE *stream, FileIdentity &identity);

// Puts the null device on any standard handle that is closed, so that no file
// this run opens can take the place of standard output and receive its
// messages. 0, or 1 when a closed handle could not be filled.
int open_standard_handles();

bool is_terminal(FILE *stream);

// Whether standard output is `file`: then the messages would go into it.
bool standard_output_leads_to(const FileIdentity &file);

// Standard output takes no more messages; what was written before is not
// flushed. Where the system allows, its names (/dev/stdout) still lead to
// the same file afterwards. 0, or 1.
int silence_standard_output();

// The arguments in UTF-8: on POSIX systems argv itself; on Windows taken from
// the wide command line, so that no name is bound to the code page, as WTF-8,
// which keeps every UTF-16 name exactly.
char **command_line_arguments(int argc, char **argv);

// fopen(name, "rb") for an input: opened once, and read through that open.
FILE *open_input_file(const char *name);

// The output from its open to the end of the run. Run control reads the
// stream, the identity and whether this run made the file; the rest is what
// removing the file again needs, and is the platform's.
struct OutputFile {
    FILE *stream = nullptr;
    FileIdentity identity;
    bool created = false;
#ifdef _WIN32
    wchar_t *name = nullptr; // the name as the file functions take it
    int held = -1;           // a descriptor of the run's own, to empty it
#else
    int folder = -1;            // the folder that holds the file, after every link
    char *last_name = nullptr;  // the file's name in that folder
    int held = -1;              // a descriptor of the run's own, to empty it
    sigset_t caller_mask;       // the signal mask to restore after the hold
    bool holding_interrupts = false;
#endif
};

// Opens the output as it is: nothing of an existing file changes, and no open
// waits with interrupts held. In create mode the interrupts are held from
// here until guard_output or abort_output, so that none can come between
// making the file and guarding it. Update mode refuses an output that cannot
// seek before reading a byte of it. 0, or 1 after which nothing is open and a
// file this open made is gone again.
int open_output(const char *name, bool update, OutputFile &output);

// Create mode, once run control has checked the output: empties it and
// guards it, so that from here an interrupt or the clean-up removes it again
// until it is committed. 0, or 1 when it could not be emptied or guarded.
int guard_output(OutputFile &output);

// The image is complete: nothing removes the output from here on.
void commit_output(OutputFile &output);

// The run failed or refused the output: a file that this run made or emptied
// and did not commit is removed, or emptied where its folder forbids the
// removal, while its name still leads to it; then the stream is closed,
// everything held is released and interrupts are let through again.
void abort_output(OutputFile &output);

// The signals that end a process by default and can be caught (on Windows the
// console's events) remove a guarded output and end the run by that signal,
// except those that were ignored when the tool started. A write beyond the
// file-size limit, or to a pipe whose reader went away, fails like any other
// write instead of killing the tool.
void install_interrupt_handler();

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
