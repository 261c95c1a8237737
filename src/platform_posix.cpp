// The platform module on POSIX systems: descriptors, stat identities,
// signals and madvise.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
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
// that report a fault in the tool itself.
static const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGALRM,
                                 SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};

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

char **command_line_arguments(int, char **argv)
{
    return argv;
}

FILE *open_input_file(const char *name)
{
    return fopen(name, "rb");
}

bool is_terminal(FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

bool standard_output_leads_to(const FileIdentity &file)
{
    FileIdentity console;
    return identify_stream(stdout, console) == 0 && same_regular_file(console, file);
}

int silence_standard_output()
{
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0)
        return 1;
    int moved = dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    return moved == STDOUT_FILENO ? 0 : 1;
}

FILE *open_output_file(const char *name, bool update, bool &created)
{
    created = false;
    int fd;
    if (update) {
        fd = open(name, O_RDWR);
    } else {
        // Exclusive first, to know whether the file is new; an existing one
        // (or the target of a dangling link) is then opened as it is.
        fd = open(name, O_WRONLY | O_CREAT | O_EXCL, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST)
            fd = open(name, O_WRONLY | O_CREAT, 0666);
    }
    if (fd < 0)
        return nullptr;
    FILE *stream = fdopen(fd, update ? "r+b" : "wb");
    if (stream == nullptr)
        close(fd);
    return stream;
}

int truncate_output(FILE *output)
{
    return ftruncate(fileno(output), 0) == 0 ? 0 : -1;
}

void remove_new_file(const char *name)
{
    unlink(name);
}

bool opening_may_wait(const char *name)
{
    struct stat status;
    return stat(name, &status) == 0 && S_ISFIFO(status.st_mode);
}

static FileIdentity identity_of(const struct stat &status)
{
    FileIdentity identity;
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.file = static_cast<uint64_t>(status.st_ino);
    identity.regular = S_ISREG(status.st_mode);
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

int identify_stream(FILE *stream, FileIdentity &identity)
{
    struct stat status;
    if (fstat(fileno(stream), &status) != 0)
        return -1;
    identity = identity_of(status);
    return 0;
}

// Replaces each symbolic link that the last component of `name` is by the
// link's target, so that unlink() meets the file and not a link; `status` is
// then the final file's. False when the chain is broken, too long or loops.
// Only async-signal-safe calls: an interrupt handler comes here.
static bool follow_links(const char *name, char (&path)[PATH_MAX], struct stat &status)
{
    size_t length = strlen(name);
    if (length >= PATH_MAX)
        return false;
    memcpy(path, name, length + 1);
    for (int hops = 0; hops <= MAX_LINK_HOPS; hops++) {
        if (lstat(path, &status) != 0)
            return false;
        if (!S_ISLNK(status.st_mode))
            return true;
        char target[PATH_MAX];
        ssize_t target_length = readlink(path, target, sizeof target);
        if (target_length <= 0 || target_length >= PATH_MAX)
            return false;
        // A relative target counts from the directory that holds the link.
        size_t kept = 0;
        if (target[0] != '/') {
            const char *slash = strrchr(path, '/');
            kept = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
        }
        if (kept + static_cast<size_t>(target_length) >= PATH_MAX)
            return false;
        memcpy(path + kept, target, static_cast<size_t>(target_length));
        path[kept + static_cast<size_t>(target_length)] = '\0';
    }
    return false;
}

int hold_descriptor(FILE *output)
{
    return fcntl(fileno(output), F_DUPFD_CLOEXEC, 0);
}

void release_descriptor(int held)
{
    if (held >= 0)
        close(held);
}

void discard_output(const char *name, const FileIdentity &created, int held)
{
    char path[PATH_MAX];
    struct stat status;
    if (!follow_links(name, path, status) || !same_regular_file(identity_of(status), created))
        return;
    // A directory that forbids removal (read-only, or sticky and another
    // user's) still lets the file be emptied: no fragment of an image stays.
    if (unlink(path) != 0 && held >= 0) {
        // Nothing more can be done here if even that fails.
        int ignored = ftruncate(held, 0);
        (void)ignored;
    }
}

static sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : INTERRUPTS)
        sigaddset(&set, signal_number);
    return set;
}

void install_interrupt_handler(void (*on_interrupt)(int))
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    // One interrupt is handled at a time; a second one waits and finds the
    // first one's work done.
    action.sa_mask = interrupt_set();
    for (int signal_number : INTERRUPTS) {
        // Ignored on entry (nohup, a background job of a script) stays
        // ignored: whoever started the tool chose that.
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
    // Messages are all that goes to a pipe: a reader that goes away loses
    // them, as a closed standard output would, and a pipe or FIFO as the
    // output fails its write through the checked path.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

void hold_interrupts()
{
    sigset_t set = interrupt_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts()
{
    sigset_t set = interrupt_set();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void die_by_signal(int signal_number)
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
