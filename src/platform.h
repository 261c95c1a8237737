// What POSIX systems and Windows do differently for this tool: small
// primitives beneath the output's life (output.cpp), the standard handles,
// the interrupts and the fast character read.
#ifndef ROMWEAVE_PLATFORM_H
#define ROMWEAVE_PLATFORM_H

#include <cstdint>
#include <cstdio>

// A descriptor on POSIX systems, a HANDLE on Windows.
typedef intptr_t FileHandle;
constexpr FileHandle NO_FILE = -1;

// `missing`: the name leads to nothing. `unknown`: what it leads to cannot
// be told without opening it (a pipe's name on Windows) or asking failed.
enum class FileKind { unknown, missing, regular, block_device, character_device, fifo, other };

// What a name or handle leads to, whatever name or link reached it: a file
// by its volume and number there, a device by its number.
struct FileIdentity {
    FileKind kind = FileKind::unknown;
    uint64_t volume = 0;
    uint64_t file[2] = {};
};

// Where the output lies with every link followed: on POSIX systems its
// folder, held open, and its name there; on Windows its name.
struct OutputPlace {
    FileHandle folder = NO_FILE;
    char *name = nullptr;
};

// What it takes to remove the output: an interrupt's handler gets it too.
struct Guard {
    OutputPlace place;
    FileIdentity identity;
    FileHandle emptying_handle = NO_FILE; // the run's own, to empty a file that cannot be removed
};

// The standard handles, before the first message: the null device on each
// closed one, so that no file this run opens takes standard output's place;
// then standard output's identity, and its silencing. 0 or -1.
int open_missing_standard_handles();
int identify_standard_output(FileIdentity &identity);
// Standard output takes no more messages, and a name that leads through it
// (/dev/stdout) still reaches the same file.
int silence_standard_output();
bool is_terminal(FILE *stream);

// The arguments in UTF-8: on POSIX systems argv itself; on Windows taken from
// the wide command line as WTF-8, which keeps every UTF-16 name exactly.
char **command_line_arguments(int argc, char **argv);

// 0 with what the open file is, or -1.
int identify(FileHandle file, FileIdentity &identity);
// What a name leads to, found without opening anything that could wait or
// answer: no FIFO, device, terminal or pipe is opened.
void identify_name(const char *name, FileIdentity &identity);
// Whether writing one could change what is read from the other: one object
// under two names, or block devices stacked on one another or on a file.
bool shares_bytes(const FileIdentity &a, const FileIdentity &b);

// The output's place; 0 or -1.
int find_place(const char *name, OutputPlace &place);
// Opens an existing output as it is, nothing of it changed; `missing` when
// the name leads to nothing. Update mode refuses one that cannot seek.
FileHandle open_as_it_is(const char *name, bool update, bool &missing);
// Makes a new file at the place, never one that is there already.
FileHandle create_new(const OutputPlace &place);
bool place_leads_to(const OutputPlace &place, const FileIdentity &identity);
// A second handle to the file, the run's own.
FileHandle reopen(FileHandle file);
int empty_file(FileHandle file);
// Removes the file while the place still leads to `identity` (to whatever
// is there if null); where it cannot be removed, empties it through
// `emptying_handle`. Safe in an interrupt's handler.
void remove_file(const OutputPlace &place, const FileIdentity *identity, FileHandle emptying_handle);
// A stream over the handle, or null with the handle closed.
FILE *stream_of(FileHandle file, const char *mode);
void close_file(FileHandle file);
// An input opened once, by the open that the run reads it through; a pipe
// whose server is busy is waited for.
FileHandle open_for_reading(const char *name);

// The signals that end a process by default and can be caught (on Windows
// the console's events) remove a guarded output and end the run as that
// signal would, but for those ignored when the tool started. A write beyond
// the file-size limit, or to a pipe whose reader went away, fails like any
// other write instead of ending the tool.
void install_interrupt_handler();
// Interrupts wait from just before the run may make a file until the file
// is guarded, so that none comes between.
void hold_interrupts();
void release_interrupts();
// What an interrupt removes from now on; null for nothing. Before the first
// guard an interrupt ends the run as it would end any program.
void guard_output(const Guard *guard);

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
