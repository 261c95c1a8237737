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

// As many links in a row as the kernel itself follows before giving up.
static const int MAX_LINK_HOPS = 40;

static const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

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

FILE *open_output_file(const char *name, const char *mode)
{
    return fopen(name, mode);
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
    for (int hops = 0; hops < MAX_LINK_HOPS; hops++) {
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

void remove_if_still(const char *name, const FileIdentity &created)
{
    char path[PATH_MAX];
    struct stat status;
    if (follow_links(name, path, status) && same_regular_file(identity_of(status), created))
        unlink(path);
}

void install_interrupt_handler(void (*on_interrupt)(int))
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    // One interrupt is handled at a time; a second one waits and finds the
    // first one's work done.
    sigemptyset(&action.sa_mask);
    for (int signal_number : INTERRUPTS)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : INTERRUPTS) {
        // Ignored on entry (nohup, a background job of a script) stays
        // ignored: whoever started the tool chose that.
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
    signal(SIGXFSZ, SIG_IGN);
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
