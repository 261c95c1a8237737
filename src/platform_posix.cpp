// The platform primitives on POSIX systems: descriptors, stat identities, the
// block devices that sysfs says a device lies on, the output's folder and
// name, and signals.
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
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

// How many objects the stack under one file or device may hold, and how
// deep it may go.
static const int STACK_SIZE = 32;
static const int STACK_DEPTH = 8;

static FileIdentity identity_of(const struct stat &status)
{
    FileIdentity identity;
    if (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)) {
        identity.kind = S_ISBLK(status.st_mode) ? FileKind::block_device : FileKind::character_device;
        identity.file[0] = static_cast<uint64_t>(status.st_rdev);
        return identity;
    }
    identity.kind = S_ISREG(status.st_mode) ? FileKind::regular : S_ISFIFO(status.st_mode) ? FileKind::fifo : FileKind::other;
    identity.volume = static_cast<uint64_t>(status.st_dev);
    identity.file[0] = static_cast<uint64_t>(status.st_ino);
    return identity;
}

static bool same_object(const FileIdentity &a, const FileIdentity &b)
{
    return a.kind != FileKind::unknown && a.kind != FileKind::missing && a.kind == b.kind && a.volume == b.volume &&
           a.file[0] == b.file[0];
}

int identify(FileHandle file, FileIdentity &identity)
{
    struct stat status;
    if (fstat(static_cast<int>(file), &status) != 0)
        return -1;
    identity = identity_of(status);
    return 0;
}

void identify_name(const char *name, FileIdentity &identity)
{
    struct stat status;
    identity = FileIdentity{};
    if (stat(name, &status) == 0)
        identity = identity_of(status);
    else if (errno == ENOENT || errno == ENOTDIR)
        identity.kind = FileKind::missing;
}

// What an object's bytes lie in, as far as the kernel records it, each by
// its device and inode: a file, or a block device's folder in sysfs. A loop
// device holds its backing file's bytes, a partition part of its disk's, a
// device-mapper or md device parts of the devices under it: those links are
// `direct`. A file lies on the device of its file system, among other files.
struct Stack {
    uint64_t object[STACK_SIZE][2];
    bool direct[STACK_SIZE];
    int count = 0;
    bool unknown = false; // some device's record could not be read
};

static void push(Stack &stack, uint64_t device, uint64_t inode, bool direct)
{
    if (stack.count == STACK_SIZE)
        return void(stack.unknown = true);
    stack.object[stack.count][0] = device;
    stack.object[stack.count][1] = inode;
    stack.direct[stack.count++] = direct;
}

static void add_object(const FileIdentity &object, Stack &stack, bool direct, int depth);

// Adds the block device whose sysfs folder is `folder`, and what lies under it.
static void add_device(const char *folder, Stack &stack, bool direct, int depth)
{
    char path[320];
    struct stat status;
    if (depth > STACK_DEPTH || stat(folder, &status) != 0)
        return void(stack.unknown = true);
    push(stack, status.st_dev, status.st_ino, direct);
    snprintf(path, sizeof path, "%s/loop/backing_file", folder);
    // A path as long as the system allows, off the stack, which may be small.
    char *backing = static_cast<char *>(calloc(PATH_MAX, 1));
    int fd = backing == nullptr ? -1 : open(path, O_RDONLY | O_CLOEXEC);
    const bool loop = backing == nullptr || fd >= 0 || errno != ENOENT;
    ssize_t length = fd < 0 ? -1 : read(fd, backing, PATH_MAX - 1);
    if (length > 0)
        backing[strcspn(backing, "\n")] = '\0';
    if (loop && length > 0 && stat(backing, &status) == 0)
        add_object(identity_of(status), stack, direct, depth + 1);
    else if (loop)
        stack.unknown = true;
    close_file(fd);
    free(backing);
    snprintf(path, sizeof path, "%s/partition", folder);
    if (stat(path, &status) == 0) {
        snprintf(path, sizeof path, "%s/..", folder);
        add_device(path, stack, direct, depth + 1);
    }
    snprintf(path, sizeof path, "%s/slaves", folder);
    DIR *slaves = opendir(path);
    for (const dirent *entry; slaves != nullptr && (entry = readdir(slaves)) != nullptr;) {
        snprintf(path, sizeof path, "%s/slaves/%s", folder, entry->d_name);
        if (entry->d_name[0] != '.')
            add_device(path, stack, direct, depth + 1);
    }
    if (slaves != nullptr)
        closedir(slaves);
}

// A block device by its folder in sysfs; a file, and the device of its file
// system where it has one (an unnamed one, major 0, has no folder).
static void add_object(const FileIdentity &object, Stack &stack, bool direct, int depth)
{
    const bool device = object.kind == FileKind::block_device;
    const uint64_t number = device ? object.file[0] : object.volume;
    char folder[48];
    snprintf(folder, sizeof folder, "/sys/dev/block/%u:%u", major(number), minor(number));
    if (!device)
        push(stack, object.volume, object.file[0], direct);
    if (device || major(number) != 0)
        add_device(folder, stack, device && direct, depth + 1);
}

// Two objects share bytes when one lies in the other, at any depth, or both
// lie directly in a third (two loop devices over one file, two partitions
// of one disk, which may not overlap: refusing them is the safe side). Where
// a block device's record cannot be read, it is taken to share them. A FIFO
// or a character device holds bytes of its own.
bool shares_bytes(const FileIdentity &a, const FileIdentity &b)
{
    if (same_object(a, b))
        return true;
    const auto may_stack = [](FileKind kind) { return kind == FileKind::regular || kind == FileKind::block_device; };
    if (!may_stack(a.kind) || !may_stack(b.kind))
        return false;
    Stack under_a, under_b;
    add_object(a, under_a, true, 0);
    add_object(b, under_b, true, 0);
    if (under_a.unknown || under_b.unknown)
        return a.kind == FileKind::block_device || b.kind == FileKind::block_device;
    for (int i = 0; i < under_a.count; i++) {
        for (int j = 0; j < under_b.count; j++) {
            if (under_a.object[i][0] == under_b.object[j][0] && under_a.object[i][1] == under_b.object[j][1] &&
                (i == 0 || j == 0 || (under_a.direct[i] && under_b.direct[j])))
                return true;
        }
    }
    return false;
}

int open_missing_standard_handles()
{
    // open() takes the lowest free descriptor: the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return -1;
    }
    return 0;
}

int identify_standard_output(FileIdentity &identity)
{
    return identify(STDOUT_FILENO, identity);
}

// A descriptor that only names the file takes no write, and /dev/stdout,
// which leads through descriptor 1, still reaches the file the user meant;
// the null device stands in where the system has no such descriptor.
// Standard output itself moves to a descriptor of its own and stays open as
// long as it would have, so that a pipe's reader sees no end early; what was
// written to it before is not flushed.
int silence_standard_output()
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
    return moved == STDOUT_FILENO ? 0 : -1;
}

bool is_terminal(FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

char **command_line_arguments(int, char **argv)
{
    return argv;
}

// The target of the link `name` in `folder`, in a buffer of its own, or
// null. No target is longer than a path may be.
static char *read_link(int folder, const char *name)
{
    char *target = static_cast<char *>(calloc(PATH_MAX, 1));
    if (target != nullptr && readlinkat(folder, name, target, PATH_MAX - 1) >= 0)
        return target;
    free(target);
    return nullptr;
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

// Every symbolic link at the end is followed as the kernel follows it, up to
// 40 in a row; a relative target counts from the link's own folder. No path
// is ever joined, so every name that the kernel takes works. The file itself
// need not exist: a new file, or the target of a dangling link.
int find_place(const char *name, OutputPlace &place)
{
    char *path = strdup(name);
    int folder = path == nullptr ? -1 : open_folder_of(AT_FDCWD, path, place.name);
    free(path);
    for (int links = 0; folder >= 0; links++) {
        struct stat status;
        if (fstatat(folder, place.name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(status.st_mode)) {
            place.folder = folder;
            return 0;
        }
        char *target = links < MAX_LINK_HOPS ? read_link(folder, place.name) : nullptr;
        int next = target == nullptr ? -1 : open_folder_of(folder, target, place.name);
        free(target);
        close(folder);
        folder = next;
    }
    return -1;
}


// An open that waits (a FIFO without a reader, a file whose lease another
// process must first give up) waits as any open does: nothing has changed.
FileHandle open_as_it_is(const char *name, bool update, bool &missing)
{
    int fd = open(name, (update ? O_RDWR : O_WRONLY) | O_CLOEXEC);
    missing = fd < 0 && errno == ENOENT;
    if (fd >= 0 && update && lseek(fd, 0, SEEK_CUR) < 0) {
        close(fd);
        return NO_FILE;
    }
    return fd;
}

FileHandle create_new(const OutputPlace &place)
{
    return openat(static_cast<int>(place.folder), place.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0666);
}

bool place_leads_to(const OutputPlace &place, const FileIdentity &identity)
{
    struct stat status;
    return place.name != nullptr && fstatat(static_cast<int>(place.folder), place.name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_object(identity_of(status), identity);
}

FileHandle reopen(FileHandle file)
{
    return fcntl(static_cast<int>(file), F_DUPFD_CLOEXEC, 0);
}

int empty_file(FileHandle file)
{
    return ftruncate(static_cast<int>(file), 0) == 0 ? 0 : -1;
}

// A folder that forbids the removal, or a file that is a mount point, leaves
// the file in place: it is emptied instead. Only async-signal-safe calls.
void remove_file(const OutputPlace &place, const FileIdentity *identity, FileHandle emptying_handle)
{
    if ((identity != nullptr && !place_leads_to(place, *identity)) ||
        unlinkat(static_cast<int>(place.folder), place.name, 0) == 0 || emptying_handle == NO_FILE)
        return;
    // Nothing more can be done here if even that fails.
    int ignored = ftruncate(static_cast<int>(emptying_handle), 0);
    (void)ignored;
}

FILE *stream_of(FileHandle file, const char *mode)
{
    FILE *stream = file == NO_FILE ? nullptr : fdopen(static_cast<int>(file), mode);
    if (stream == nullptr)
        close_file(file);
    return stream;
}

void close_file(FileHandle file)
{
    if (file != NO_FILE)
        close(static_cast<int>(file));
}

FileHandle open_for_reading(const char *name)
{
    return open(name, O_RDONLY | O_CLOEXEC);
}

// What the handler reaches: the guarded output, and the signal mask that
// the run had before it held the interrupts.
static struct {
    std::atomic<const Guard *> guard;
    sigset_t caller_mask;
} interrupts;
static_assert(std::atomic<const Guard *>::is_always_lock_free, "a signal handler reads it");

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

// The caller's own mask comes back afterwards, so that a signal blocked when
// the tool started stays blocked for the whole run.
void hold_interrupts()
{
    sigset_t set = interrupt_set();
    sigprocmask(SIG_BLOCK, &set, &interrupts.caller_mask);
}

void release_interrupts()
{
    sigprocmask(SIG_SETMASK, &interrupts.caller_mask, nullptr);
}

// An interrupted run leaves no partial image, then ends by the same signal's
// default action, so that a shell or make sees an interrupted run and not a
// failed or good one.
static void remove_guarded_output_and_die(int signal_number)
{
    if (const Guard *guard = interrupts.guard)
        remove_file(guard->place, &guard->identity, guard->emptying_handle);
    signal(signal_number, SIG_DFL);
    sigset_t only_this;
    sigemptyset(&only_this);
    sigaddset(&only_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &only_this, nullptr);
    raise(signal_number);
    // Only reached if the default action does not end the process.
    _exit(128 + signal_number);
}

// Until an output is guarded an interrupt has nothing to clean up and ends
// the run by its default action, which also ends an open that waits in the
// kernel (an on-access scanner, a file server): a caught signal would not.
void guard_output(const Guard *guard)
{
    interrupts.guard = guard;
    if (guard == nullptr)
        return;
    struct sigaction action {};
    action.sa_handler = remove_guarded_output_and_die;
    // One interrupt is handled at a time; a second one waits and finds the
    // first one's work done.
    action.sa_mask = interrupt_set();
    for (int signal_number = 1; signal_number < NSIG; signal_number++) {
        // Ignored on entry (nohup, a background job of a script) stays
        // ignored: whoever started the tool chose that.
        struct sigaction previous;
        if (sigismember(&action.sa_mask, signal_number) == 1 && sigaction(signal_number, nullptr, &previous) == 0 &&
            previous.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
}

// Messages are all that goes to a pipe: a reader that goes away loses them,
// as a closed standard output would, and a pipe or FIFO as the output fails
// its write through the checked path.
void install_interrupt_handler()
{
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
