// The platform module on POSIX systems: descriptors, stat identities, the
// output's folder and name, and signals.
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// A 32-bit build without 64-bit file offsets could not take the identity of,
// or update, a file of 2 GiB or more.
static_assert(sizeof(off_t) >= 8, "build with _FILE_OFFSET_BITS=64");

// As many links in a row as the kernel itself follows before giving up.
static const int MAX_LINK_HOPS = 40;

// Every signal whose default action ends the process and that can be caught,
// but SIGPIPE and SIGXFSZ, which only tell a write that it failed, and those
// that report a fault in the tool itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, SIGTRAP, SIGSYS); the real-time signals join them below. SIGIO
// and SIGPWR end a process by default on Linux only.
static const int INTERRUPTS[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGXCPU, SIGALRM,
                                 SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF,
#ifdef __linux__
                                 SIGIO,   SIGPWR,
#ifdef SIGSTKFLT
                                 SIGSTKFLT,
#endif
#endif
};

// A folder only needs to be searched to remove a file from it; where the
// system has O_PATH, a folder that may not be read is no obstacle.
#ifdef O_PATH
static const int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
static const int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Which object a name or descriptor leads to, whatever name or link reached
// it. A device is one object whichever node names it; a loop device also
// carries the file whose bytes it holds.
enum class FileKind { unknown, regular, block_device, character_device, fifo, other };

struct FileIdentity {
    uint64_t device = 0;
    uint64_t file = 0;
    FileKind kind = FileKind::unknown;
    uint64_t backing_device = 0, backing_file = 0; // a loop device's file, or 0
};

// Whether two identities are one object; one that could not be taken is
// never the same as anything.
static bool same_file(const FileIdentity &a, const FileIdentity &b)
{
    return a.kind != FileKind::unknown && a.kind == b.kind && a.device == b.device && a.file == b.file;
}

// Whether writing one would change what is read from the other: one file,
// or a loop device and the file whose bytes it holds.
static bool same_bytes(const FileIdentity &a, const FileIdentity &b)
{
    const auto holds_the_bytes_of = [](const FileIdentity &device, const FileIdentity &file) {
        return device.backing_file != 0 && file.kind == FileKind::regular && device.backing_device == file.device &&
               device.backing_file == file.file;
    };
    return same_file(a, b) || holds_the_bytes_of(a, b) || holds_the_bytes_of(b, a);
}

// The output read as an input would change under the reader as the image is
// written. A character device (a terminal, /dev/null) reads and writes apart,
// so it may be both.
static bool is_the_output(const FileIdentity &input, const FileIdentity &output)
{
    return input.kind != FileKind::character_device && same_bytes(input, output);
}

// A loop device's backing file, asked of the device open on `fd`. The
// kernel's answer (loop_info64, 29 words) starts with that file's device and
// inode; spelled out, as not every C library ships the kernel's headers.
static void find_backing_file(int fd, const struct stat &status, FileIdentity &identity)
{
#ifdef __linux__
    uint64_t loop_status[29] = {};
    if (S_ISBLK(status.st_mode) && major(status.st_rdev) == 7 && ioctl(fd, 0x4C05, loop_status) == 0) {
        identity.backing_device = loop_status[0];
        identity.backing_file = loop_status[1];
    }
#else
    (void)fd, (void)status, (void)identity;
#endif
}

static FileIdentity identity_of(const struct stat &status)
{
    FileIdentity identity;
    if (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)) {
        identity.file = static_cast<uint64_t>(status.st_rdev);
        identity.kind = S_ISBLK(status.st_mode) ? FileKind::block_device : FileKind::character_device;
        return identity;
    }
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.file = static_cast<uint64_t>(status.st_ino);
    identity.kind = S_ISREG(status.st_mode)    ? FileKind::regular
                    : S_ISFIFO(status.st_mode) ? FileKind::fifo
                                               : FileKind::other;
    return identity;
}

// 0 with the identity of what `fd` leads to, or -1.
static int identify_descriptor(int fd, FileIdentity &identity)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return -1;
    identity = identity_of(status);
    find_backing_file(fd, status, identity);
    return 0;
}

// 0 with the identity of what `name` leads to, or -1. A block device is
// opened to ask whether it is a loop device, which reads nothing.
static int identify_name(const char *name, FileIdentity &identity)
{
    struct stat status;
    if (stat(name, &status) != 0)
        return -1;
    identity = identity_of(status);
    int device = S_ISBLK(status.st_mode) ? open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (device >= 0) {
        find_backing_file(device, status, identity);
        close(device);
    }
    return 0;
}

bool is_terminal(FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

// Whether the messages would go into `file`.
static bool standard_output_leads_to(const FileIdentity &file)
{
    // A path-only descriptor, put there to silence it, takes no message.
#ifdef O_PATH
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags != -1 && (flags & O_PATH) != 0)
        return false;
#endif
    FileIdentity console;
    return identify_descriptor(STDOUT_FILENO, console) == 0 && same_bytes(console, file);
}

// Standard output takes no more messages; what was written before is not
// flushed. A descriptor that only names the file takes no write, and
// /dev/stdout, which leads through descriptor 1, still reaches the file the
// user meant; the null device stands in where the system has no such
// descriptor. Standard output itself moves to a descriptor of its own and
// stays open as long as it would have, so that a pipe's reader sees no end
// early. 0, or 1.
static int silence_standard_output()
{
    int stand_in = -1;
#ifdef O_PATH
    stand_in = open("/proc/self/fd/1", O_PATH | O_CLOEXEC);
    if (stand_in >= 0 && fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0) < 0) {
        close(stand_in);
        stand_in = -1;
    }
#endif
    if (stand_in < 0)
        stand_in = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int moved = stand_in < 0 ? -1 : dup2(stand_in, STDOUT_FILENO);
    if (stand_in >= 0)
        close(stand_in);
    return moved == STDOUT_FILENO ? 0 : 1;
}

// Standard output that leads into a file that the command line names, be it
// an input (`>> a.byte`), the output (`> out.bin`, `/dev/stdout` as the
// output) or any other, would carry the messages into it: it is treated as a
// closed one before the first message, the usage text included. A name that
// went through it (/dev/stdout) must still lead to the same file afterwards,
// not to what stands in for it; where the system cannot keep that, the run is
// refused.
int prepare_standard_handles(int argc, char **argv)
{
    // open() takes the lowest free descriptor: the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return 1;
    }
    FileIdentity console, stand_in, now;
    int i = 1;
    while (i < argc && !(identify_name(argv[i], console) == 0 && standard_output_leads_to(console)))
        i++;
    if (i == argc)
        return 0;
    if (silence_standard_output() != 0 || identify_descriptor(STDOUT_FILENO, stand_in) != 0)
        return 1;
    for (i = 1; i < argc && !same_file(stand_in, console); i++) {
        if (identify_name(argv[i], now) == 0 && same_file(now, stand_in))
            return 1;
    }
    return 0;
}

char **command_line_arguments(int, char **argv)
{
    return argv;
}

// The output from its open to the end of the run.
struct Output {
    FILE *stream = nullptr;
    FileIdentity identity;
    bool created = false;       // this run made the file
    int folder = -1;            // the folder that holds the file, after every link
    char *last_name = nullptr;  // the file's name in that folder
    int held = -1;              // a descriptor of the run's own, to empty it
    sigset_t caller_mask;       // the signal mask to restore after the hold
    bool holding_interrupts = false;
    char **inputs = nullptr;
};

// The emptied output, once it is in place, for an interrupt to remove, and a
// stack to do it on. Static, because a signal handler reaches nothing else.
static struct {
    std::atomic<const Output *> armed;
    // The handler's own stack: an interrupt may come wherever the run is
    // deepest, and a small stack limit (ulimit -s) must not turn it into a
    // crash that leaves the output.
    alignas(16) char handler_stack[64 * 1024];
} guarded;
static_assert(std::atomic<const Output *>::is_always_lock_free, "a signal handler reads it");

// Every signal that ends the run, in one set.
static sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : INTERRUPTS)
        sigaddset(&set, signal_number);
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; signal_number++)
        sigaddset(&set, signal_number);
#endif
    return set;
}

// Held from before the output may be made until it is guarded; the caller's
// own mask comes back afterwards, so that a signal the caller blocked stays
// blocked for the whole run.
static void hold_interrupts(Output &output)
{
    sigset_t set = interrupt_set();
    if (!output.holding_interrupts)
        output.holding_interrupts = sigprocmask(SIG_BLOCK, &set, &output.caller_mask) == 0;
}

static void release_interrupts(Output &output)
{
    if (output.holding_interrupts)
        sigprocmask(SIG_SETMASK, &output.caller_mask, nullptr);
    output.holding_interrupts = false;
}

// The target of the link `name` in `folder`, in a buffer of its own, or null.
static char *read_link(int folder, const char *name)
{
    for (size_t size = 256;; size *= 2) {
        char *target = static_cast<char *>(malloc(size));
        ssize_t length = target == nullptr ? -1 : readlinkat(folder, name, target, size);
        if (length >= 0 && static_cast<size_t>(length) < size) {
            target[length] = '\0';
            return target;
        }
        free(target);
        if (length < 0)
            return nullptr;
    }
}

// Opens the folder that holds the last name of `path`, counted from `from`
// unless the path is absolute, and puts a copy of that name in `last`; -1 on
// failure.
static int open_folder_of(int from, char *path, char *&last)
{
    char *slash = strrchr(path, '/');
    int folder;
    if (slash == nullptr) {
        folder = openat(from, ".", FOLDER_FLAGS);
        slash = path - 1;
    } else {
        char kept = slash[1];
        slash[1] = '\0';
        folder = openat(from, path, FOLDER_FLAGS);
        slash[1] = kept;
    }
    free(last);
    last = strdup(slash + 1);
    if (last == nullptr && folder >= 0) {
        close(folder);
        folder = -1;
    }
    return folder;
}

// The folder and last name of the file that `name` leads to, with every
// symbolic link at the end followed as the kernel follows it, up to 40 in a
// row; a relative target counts from the link's own folder. No path is ever
// joined, so every name that the kernel takes works. The file itself need not
// exist: a new file, or the target of a dangling link. -1 when a folder
// cannot be opened, or the chain is too long or loops.
static int find_place(const char *name, char *&last)
{
    char *path = strdup(name);
    int folder = path == nullptr ? -1 : open_folder_of(AT_FDCWD, path, last);
    free(path);
    for (int links = 0; folder >= 0; links++) {
        struct stat status;
        if (fstatat(folder, last, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(status.st_mode))
            return folder;
        char *target = links < MAX_LINK_HOPS ? read_link(folder, last) : nullptr;
        int next = target == nullptr ? -1 : open_folder_of(folder, target, last);
        free(target);
        close(folder);
        folder = next;
    }
    return -1;
}

// Whether `last_name` in `folder` is still the file of `identity`.
static bool still_there(int folder, const char *last_name, const FileIdentity &identity)
{
    struct stat status;
    return folder >= 0 && last_name != nullptr && fstatat(folder, last_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(identity_of(status), identity);
}

// An open that would have to wait (a FIFO without a reader, a file whose
// lease another process must first give up) waits with the interrupts let
// through: nothing has been made then.
static int open_waiting(const char *name, int flags, Output &output)
{
    int fd = open(name, flags | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == ENXIO || errno == EWOULDBLOCK)) {
        bool held = output.holding_interrupts;
        release_interrupts(output);
        fd = open(name, flags | O_CLOEXEC);
        if (held)
            hold_interrupts(output);
    }
    return fd;
}

// Opens the file as it is, non-blocking, so that no open waits with the
// interrupts held, and identifies it from the open file, which no later
// change of the name can alter. In create mode where it lies is known before
// it may be made, so that a file this run made can always be removed again.
// Update mode writes the image back where it came from, so an output that
// cannot seek is refused before a byte of it is read.
static int open_as_it_is(const char *name, bool update, Output &output)
{
    if (!update) {
        output.folder = find_place(name, output.last_name);
        if (output.folder < 0)
            return 1;
        hold_interrupts(output);
    }
    int fd = open_waiting(name, update ? O_RDWR : O_WRONLY, output);
    // A new file, or the target of a dangling link, is made where the name
    // leads, known to be this run's.
    if (!update && fd < 0 && errno == ENOENT) {
        fd = openat(output.folder, output.last_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0666);
        output.created = fd >= 0;
    }
    int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    bool usable = flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1 &&
                  identify_descriptor(fd, output.identity) == 0;
    if (usable && update)
        usable = lseek(fd, 0, SEEK_CUR) >= 0;
    if (usable && !update && output.identity.kind == FileKind::regular)
        usable = still_there(output.folder, output.last_name, output.identity);
    if (usable)
        output.stream = fdopen(fd, update ? "r+b" : "wb");
    if (output.stream != nullptr)
        return 0;
    if (fd >= 0)
        close(fd);
    // A file this open made but could not identify goes all the same.
    if (output.created && output.identity.kind == FileKind::unknown)
        unlinkat(output.folder, output.last_name, 0);
    output.created = false;
    return 1;
}

// The first input that is the output under any name, or -1. A file that did
// not exist before this run is no input yet; an input that the run is about
// to create is caught as it is opened.
static int input_that_is_the_output(const Output &output, char **inputs, int input_count)
{
    for (int i = 0; i < input_count && !output.created; i++) {
        FileIdentity input;
        if (identify_name(inputs[i], input) == 0 && is_the_output(input, output.identity))
            return i;
    }
    return -1;
}

// Create mode, once the output is known to be no input: a regular file is
// emptied, and from then on removed by an interrupt until it is written.
static int empty_and_guard(Output &output)
{
    if (output.identity.kind != FileKind::regular)
        return 0;
    int fd = fileno(output.stream);
    // Its own descriptor, so that the file can still be emptied once the
    // stream is closed.
    output.held = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (ftruncate(fd, 0) != 0)
        return 1;
    guarded.armed = &output;
    return 0;
}

Output *open_output(const char *name, bool update, char **inputs, int input_count, OutputRefusal &refusal,
                    int &refused_input)
{
    // Not new: the static build links no C++ library.
    void *memory = malloc(sizeof(Output));
    Output *output = memory == nullptr ? nullptr : new (memory) Output;
    refusal = OutputRefusal::unusable;
    if (output == nullptr || open_as_it_is(name, update, *output) != 0) {
        discard_output(output);
        return nullptr;
    }
    output->inputs = inputs;
    refused_input = input_that_is_the_output(*output, inputs, input_count);
    if (refused_input >= 0)
        refusal = OutputRefusal::input_is_output;
    else if (standard_output_leads_to(output->identity) && silence_standard_output() != 0)
        refusal = OutputRefusal::unprintable;
    else if (update || empty_and_guard(*output) == 0) {
        release_interrupts(*output);
        return output;
    }
    discard_output(output);
    return nullptr;
}

int read_output(Output &output, unsigned char *image, size_t size)
{
    if (fread(image, 1, size, output.stream) != size)
        return 1;
    fseek(output.stream, 0, SEEK_SET);
    return 0;
}

// Catches an input that did not exist before the output was opened, or was
// renamed into the place of one since.
FILE *open_input(Output &output, int index, bool &is_the_output_file)
{
    FILE *input = fopen(output.inputs[index], "rb");
    FileIdentity identity;
    is_the_output_file = input != nullptr && identify_descriptor(fileno(input), identity) == 0 &&
                         is_the_output(identity, output.identity);
    if (!is_the_output_file)
        return input;
    fclose(input);
    return nullptr;
}

// Removes the output while its name still leads to it; where it cannot be
// removed (a folder that forbids it, a file that is a mount point), empties
// it through the run's own descriptor. Only async-signal-safe calls: an
// interrupt handler comes here.
static void discard(const Output &output)
{
    if (!still_there(output.folder, output.last_name, output.identity) ||
        unlinkat(output.folder, output.last_name, 0) == 0 || output.held < 0)
        return;
    // Nothing more can be done here if even that fails.
    int ignored = ftruncate(output.held, 0);
    (void)ignored;
}

// Everything the output holds goes; a created or emptied file only if
// `remove` (an interrupt meanwhile does the same again).
static void release(Output *&output, bool remove)
{
    if (output->stream != nullptr)
        fclose(output->stream);
    output->stream = nullptr;
    if (remove && (guarded.armed != nullptr || output->created))
        discard(*output);
    guarded.armed = nullptr;
    if (output->held >= 0)
        close(output->held);
    if (output->folder >= 0)
        close(output->folder);
    free(output->last_name);
    release_interrupts(*output);
    free(output);
    output = nullptr;
}

int write_output(Output *&output, const unsigned char *image, size_t size)
{
    // The flush is its own step because not every C library reports a failed
    // flush from fclose().
    bool written = fwrite(image, 1, size, output->stream) == size && fflush(output->stream) == 0;
    bool closed = fclose(output->stream) == 0;
    output->stream = nullptr;
    if (!written || !closed)
        return 1;
    release(output, false);
    return 0;
}

void discard_output(Output *&output)
{
    if (output != nullptr)
        release(output, true);
}

// An interrupted run leaves no partial image, then ends by the same signal's
// default action, so that a shell or make sees an interrupted run and not a
// failed or good one.
static void discard_guarded_output_and_die(int signal_number)
{
    if (const Output *output = guarded.armed)
        discard(*output);
    signal(signal_number, SIG_DFL);
    sigset_t only_this;
    sigemptyset(&only_this);
    sigaddset(&only_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &only_this, nullptr);
    raise(signal_number);
    // Only reached if the default action does not end the process.
    _exit(128 + signal_number);
}

void install_interrupt_handler()
{
    struct sigaction action {};
    action.sa_handler = discard_guarded_output_and_die;
    // One interrupt is handled at a time; a second one waits and finds the
    // first one's work done.
    action.sa_mask = interrupt_set();
    // A stack that someone else set up (a sanitizer's) serves as well.
    stack_t handler_stack;
    if (sigaltstack(nullptr, &handler_stack) == 0 && (handler_stack.ss_flags & SS_DISABLE) != 0) {
        handler_stack.ss_sp = guarded.handler_stack;
        handler_stack.ss_size = sizeof guarded.handler_stack;
        handler_stack.ss_flags = 0;
        sigaltstack(&handler_stack, nullptr);
    }
    action.sa_flags = SA_ONSTACK;
    for (int signal_number = 1; signal_number < NSIG; signal_number++) {
        // Ignored on entry (nohup, a background job of a script) stays
        // ignored: whoever started the tool chose that.
        struct sigaction previous;
        if (sigismember(&action.sa_mask, signal_number) == 1 && sigaction(signal_number, nullptr, &previous) == 0 &&
            previous.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
    // Messages are all that goes to a pipe: a reader that goes away loses
    // them, as a closed standard output would, and a pipe or FIFO as the
    // output fails its write through the checked path.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

int read_char_after_end(FILE *input)
{
    int c = EOF;
    while (c == EOF && errno == EINTR && ferror(input)) {
        clearerr(input);
        errno = 0;
        c = getc_unlocked(input);
    }
    return c;
}
