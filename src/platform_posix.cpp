// The platform module on POSIX systems: descriptors, stat identities, the
// output's folder and name, signals and madvise.
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

// What an interrupt needs to remove the guarded output, and nothing more: the
// OutputFile's own folder, name, identity and spare descriptor, and a stack
// to do it on. Static, because a signal handler reaches nothing else; armed
// only once the rest is in place.
static struct {
    int folder;
    const char *last_name;
    FileIdentity identity;
    int held;
    volatile sig_atomic_t armed;
    // The handler's own stack: an interrupt may come wherever the run is
    // deepest, and a small stack limit (ulimit -s) must not turn it into a
    // crash that leaves the output.
    alignas(16) char handler_stack[64 * 1024];
} guarded;

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

int identify_file(const char *name, FileIdentity &identity)
{
    struct stat status;
    if (stat(name, &status) != 0)
        return -1;
    identity = identity_of(status);
    return 0;
}

static int identify_descriptor(int fd, FileIdentity &identity)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return -1;
    identity = identity_of(status);
    return 0;
}

int identify_stream(FILE *stream, FileIdentity &identity)
{
    return identify_descriptor(fileno(stream), identity);
}

int open_standard_handles()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free descriptor: the closed one.
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd != fd) {
            if (null_fd >= 0)
                close(null_fd);
            return 1;
        }
    }
    return 0;
}

bool is_terminal(FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

bool standard_output_leads_to(const FileIdentity &file)
{
    // A path-only descriptor, put there to silence it, takes no message.
#ifdef O_PATH
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags != -1 && (flags & O_PATH) != 0)
        return false;
#endif
    FileIdentity console;
    return identify_descriptor(STDOUT_FILENO, console) == 0 && same_file(console, file);
}

static int replace_standard_output(int fd)
{
    if (fd < 0)
        return 1;
    int moved = dup2(fd, STDOUT_FILENO);
    close(fd);
    return moved == STDOUT_FILENO ? 0 : 1;
}

int silence_standard_output()
{
    // A descriptor that only names the file takes no write, and /dev/stdout,
    // which leads through descriptor 1, still reaches the file the user meant.
    // Standard output itself moves to a descriptor of its own and stays open
    // as long as it would have, so that a pipe's reader sees no end early.
#ifdef O_PATH
    int path_only = open("/proc/self/fd/1", O_PATH | O_CLOEXEC);
    if (path_only >= 0 && fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0) < 0) {
        close(path_only);
        path_only = -1;
    }
    if (replace_standard_output(path_only) == 0)
        return 0;
#endif
    return replace_standard_output(open("/dev/null", O_WRONLY | O_CLOEXEC));
}

char **command_line_arguments(int, char **argv)
{
    return argv;
}

FILE *open_input_file(const char *name)
{
    return fopen(name, "rb");
}

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
static void hold_interrupts(OutputFile &output)
{
    if (output.holding_interrupts)
        return;
    sigset_t set = interrupt_set();
    output.holding_interrupts = sigprocmask(SIG_BLOCK, &set, &output.caller_mask) == 0;
}

static void release_interrupts(OutputFile &output)
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

// Whether the output's folder and last name lead to the file this run opened.
static bool at_its_place(const OutputFile &output)
{
    struct stat status;
    return output.folder >= 0 && output.last_name != nullptr &&
           fstatat(output.folder, output.last_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(identity_of(status), output.identity);
}

// Makes the file that a dangling link leads to, where the kernel would, but
// known to be this run's.
static int create_where_the_link_leads(const char *name, OutputFile &output)
{
    output.folder = find_place(name, output.last_name);
    if (output.folder < 0)
        return -1;
    int fd = openat(output.folder, output.last_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0666);
    output.created = fd >= 0;
    return fd;
}

// Create mode: exclusive first, to know whether this run makes the file; an
// existing file is then opened as it is. Every open is non-blocking, so that
// none waits with interrupts held; a FIFO without a reader is then waited
// for with the interrupts let through, since nothing is made there.
static int open_for_create(const char *name, OutputFile &output)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
    output.created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        // It exists, yet cannot be opened without being made: a dangling link.
        if (fd < 0 && errno == ENOENT)
            fd = create_where_the_link_leads(name, output);
    }
    if (fd < 0 && errno == ENXIO) {
        release_interrupts(output);
        fd = open(name, O_WRONLY | O_CLOEXEC);
        hold_interrupts(output);
    }
    return fd;
}

int open_output(const char *name, bool update, OutputFile &output)
{
    int fd;
    if (update) {
        fd = open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } else {
        hold_interrupts(output);
        fd = open_for_create(name, output);
    }
    // Where a new or emptied file lies, to remove it again.
    if (!update && fd >= 0 && output.folder < 0)
        output.folder = find_place(name, output.last_name);
    int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    bool usable = flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1 &&
                  identify_descriptor(fd, output.identity) == 0;
    // Update mode writes the image back where it came from; an output that
    // cannot seek (a pipe) would take it elsewhere, so it is refused before
    // a byte of it is read. In create mode a regular file may be removed
    // again, so where it lies must be known.
    if (usable && update)
        usable = lseek(fd, 0, SEEK_CUR) >= 0;
    if (usable && !update && output.identity.kind == FileKind::regular)
        usable = at_its_place(output);
    if (usable)
        output.stream = fdopen(fd, update ? "r+b" : "wb");
    if (output.stream != nullptr)
        return 0;
    if (fd >= 0)
        close(fd);
    // A file this open made but could not identify goes all the same.
    if (output.created && output.identity.kind == FileKind::unknown && output.last_name != nullptr)
        unlinkat(output.folder, output.last_name, 0);
    abort_output(output);
    return 1;
}

// Removes the file at folder/last_name while it is still `identity`; where
// the folder forbids its removal (read-only, or sticky and another user's),
// empties it through `held`. Only async-signal-safe calls: an interrupt
// handler comes here.
static void discard(int folder, const char *last_name, const FileIdentity &identity, int held)
{
    struct stat status;
    if (folder < 0 || last_name == nullptr || fstatat(folder, last_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(identity_of(status), identity))
        return;
    if (unlinkat(folder, last_name, 0) == 0 || held < 0)
        return;
    if (errno == EACCES || errno == EPERM || errno == EROFS) {
        // Nothing more can be done here if even that fails.
        int ignored = ftruncate(held, 0);
        (void)ignored;
    }
}

int guard_output(OutputFile &output)
{
    int status = 0;
    if (output.identity.kind == FileKind::regular) {
        int fd = fileno(output.stream);
        // Its own descriptor, so that the file can still be emptied once the
        // stream is closed.
        output.held = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (ftruncate(fd, 0) == 0) {
            guarded.folder = output.folder;
            guarded.last_name = output.last_name;
            guarded.identity = output.identity;
            guarded.held = output.held;
            // The handler must never see the flag before the rest.
            std::atomic_signal_fence(std::memory_order_seq_cst);
            guarded.armed = 1;
        } else {
            status = 1;
        }
    }
    release_interrupts(output);
    return status;
}

void commit_output(OutputFile &output)
{
    guarded.armed = 0;
    output.created = false;
}

void abort_output(OutputFile &output)
{
    if (output.stream != nullptr)
        fclose(output.stream);
    output.stream = nullptr;
    // Disarmed only afterwards: an interrupt meanwhile does the same again.
    if (guarded.armed || output.created)
        discard(output.folder, output.last_name, output.identity, output.held);
    guarded.armed = 0;
    output.created = false;
    if (output.held >= 0)
        close(output.held);
    if (output.folder >= 0)
        close(output.folder);
    free(output.last_name);
    output.held = output.folder = -1;
    output.last_name = nullptr;
    release_interrupts(output);
}

// Ends the process by the signal's default action, so that the caller sees
// the run end by that signal.
[[noreturn]] static void die_by_signal(int signal_number)
{
    signal(signal_number, SIG_DFL);
    sigset_t only_this;
    sigemptyset(&only_this);
    sigaddset(&only_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &only_this, nullptr);
    raise(signal_number);
    // Only reached if the default action does not end the process.
    _exit(128 + signal_number);
}

// An interrupted run leaves no partial image, then ends by the same signal,
// so that a shell or make sees an interrupted run and not a failed or good
// one.
static void discard_guarded_output_and_die(int signal_number)
{
    if (guarded.armed)
        discard(guarded.folder, guarded.last_name, guarded.identity, guarded.held);
    die_by_signal(signal_number);
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

// Filling a large fresh image costs one page fault per page; huge pages cut
// that several hundredfold.
void advise_huge_pages(unsigned char *image, size_t size)
{
#ifdef MADV_HUGEPAGE
    long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0)
        return;
    const uintptr_t page = static_cast<uintptr_t>(page_size);
    uintptr_t start = (reinterpret_cast<uintptr_t>(image) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(image) + size) & ~(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)image;
    (void)size;
#endif
}
