// The platform primitives on Windows: handles and their volume and file ids,
// console events through a control handler, and names taken as WTF-8 and
// passed to the wide (UTF-16) functions, which know no MAX_PATH limit and no
// code page.
#include "platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// How long an input that is a pipe is waited for at its turn: its server may
// be busy with another client, or between two.
static const DWORD PIPE_WAIT_MS = 5000;

// Windows names are UTF-16 and may hold a surrogate without its partner,
// which UTF-8 cannot express: WideCharToMultiByte puts U+FFFD in its place,
// and that is the name of another file. Inside the tool names are WTF-8:
// UTF-8, with such a surrogate encoded on its own as any other code point
// below 0x10000, so that wide() gives back exactly the name that was given.
static char *narrow(const wchar_t *name)
{
    static const unsigned char LEAD[] = {0x00, 0xC0, 0xE0, 0xF0};
    std::string converted;
    for (size_t i = 0; name[i] != L'\0'; i++) {
        uint32_t c = name[i];
        if (c >= 0xD800 && c < 0xDC00 && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000)
            c = 0x10000 + ((c & 0x3FF) << 10 | (name[++i] & 0x3FF));
        int continuation = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        converted += static_cast<char>(LEAD[continuation] | c >> (6 * continuation));
        for (int k = continuation - 1; k >= 0; k--)
            converted += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return _strdup(converted.c_str());
}

// WTF-8 back to UTF-16. Bytes that are not WTF-8 in its shortest form (a
// name from a narrow argv in another code page) give an empty name, which
// opens nothing: such a name is refused rather than read as another one.
static std::wstring wide(const char *name)
{
    static const uint32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
    std::wstring converted;
    for (const unsigned char *next = reinterpret_cast<const unsigned char *>(name); *next != 0;) {
        uint32_t c = *next++;
        // A lead byte from 0xF8 on fails below as beyond U+10FFFF.
        int continuation = c < 0x80 ? 0 : c < 0xC0 ? -1 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (continuation < 0)
            return std::wstring();
        c &= 0x7F >> continuation; // the lead byte's own bits
        for (int k = 0; k < continuation; k++, next++) {
            if ((*next & 0xC0) != 0x80)
                return std::wstring();
            c = c << 6 | (*next & 0x3F);
        }
        if (c < SMALLEST[continuation] || c > 0x10FFFF)
            return std::wstring();
        if (c >= 0x10000) {
            converted += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            c = 0xDC00 + (c & 0x3FF);
        }
        converted += static_cast<wchar_t>(c);
    }
    return converted;
}

// What the C library's start-up code uses to split the wide command line,
// exported by msvcrt.dll on every Windows; the last argument is its
// _startupinfo, one int.
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***environment, int expand_wildcards,
                              int *startup_information);

// The arguments as the wide command line has them, in WTF-8, whatever the
// code page, split as the C library split argv; they live as long as the
// process, as argv does.
char **command_line_arguments(int argc, char **argv)
{
    int count = 0, startup_information = 0;
    wchar_t **wide_arguments = nullptr, **environment = nullptr;
    if (__wgetmainargs(&count, &wide_arguments, &environment, 0, &startup_information) != 0 || count != argc)
        return argv;
    char **arguments = new char *[static_cast<size_t>(count) + 1];
    for (int i = 0; i < count; i++)
        arguments[i] = narrow(wide_arguments[i]);
    arguments[count] = nullptr;
    return arguments;
}

static HANDLE handle_of(FileHandle file)
{
    return reinterpret_cast<HANDLE>(file);
}

// Follows links to the file itself; every sharing mode, so that a file that
// another program holds open can still be named.
static HANDLE open_by_name(const wchar_t *name, DWORD access, DWORD disposition = OPEN_EXISTING)
{
    return CreateFileW(name, access, SHARE_ALL, nullptr, disposition, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The null device on descriptor `fd`, in place of what it held. msvcrt keeps
// a standard descriptor whose handle is missing marked open (its handle is
// -2), so the device is put there by number, not as the lowest free one.
static int put_null_device_on(int fd)
{
    int null_fd = _open("NUL", _O_RDWR | _O_BINARY);
    int placed = null_fd < 0 ? -1 : null_fd == fd ? 0 : _dup2(null_fd, fd);
    if (null_fd >= 0 && null_fd != fd)
        _close(null_fd);
    return placed == 0 ? 0 : -1;
}

int open_missing_standard_handles()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (_get_osfhandle(fd) < 0 && put_null_device_on(fd) != 0)
            return -1;
    }
    return 0;
}

int silence_standard_output()
{
    return put_null_device_on(1);
}

// _isatty() is true for every character device, NUL included; only a console
// has a console mode.
bool is_terminal(FILE *stream)
{
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

// A file's id and volume serial as 128 and 64 bits (FileIdInfo), which hold
// on every file system, ReFS included, and which wine gives for every handle.
int identify(FileHandle file, FileIdentity &identity)
{
    HANDLE handle = handle_of(file);
    identity = FileIdentity{};
    DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
        identity.kind = type == FILE_TYPE_CHAR ? FileKind::character_device : FileKind::fifo;
        return 0;
    }
    FILE_ID_INFO id;
    FILE_STANDARD_INFO standard;
    if (type != FILE_TYPE_DISK || !GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return -1;
    identity.kind = standard.Directory ? FileKind::other : FileKind::regular;
    identity.volume = id.VolumeSerialNumber;
    memcpy(identity.file, &id.FileId, sizeof identity.file);
    return 0;
}

int identify_standard_output(FileIdentity &identity)
{
    return identify(_get_osfhandle(1), identity);
}

// Whether the folder of `name` is on a disk, opened for its attributes only;
// a pipe's folder is not, and any open of a pipe's own name would connect to
// its server. `error` says why the folder would not open.
static bool folder_on_disk(const std::wstring &name, std::wstring &full, DWORD &error)
{
    DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    full.assign(length, L'\0');
    if (length == 0 || GetFullPathNameW(name.c_str(), length, &full[0], nullptr) >= length)
        return error = ERROR_INVALID_NAME, false;
    full.resize(length - 1);
    const size_t last = full.find_last_of(L"\\/");
    HANDLE folder = last == std::wstring::npos ? INVALID_HANDLE_VALUE
                                               : open_by_name(full.substr(0, last + 1).c_str(), FILE_READ_ATTRIBUTES);
    error = folder == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    bool on_disk = folder != INVALID_HANDLE_VALUE && GetFileType(folder) == FILE_TYPE_DISK;
    if (folder != INVALID_HANDLE_VALUE)
        CloseHandle(folder);
    return on_disk;
}

static bool not_found(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A name on a disk is opened for its attributes only, which reads nothing,
// makes no pipe client and is allowed whatever another program shares. A
// missing folder on a drive counts as missing; a name in the system's device
// space (\\.\, \\?\) or on a share whose folder does not open is left
// unknown.
void identify_name(const char *name, FileIdentity &identity)
{
    identity = FileIdentity{};
    std::wstring full;
    DWORD error;
    if (!folder_on_disk(wide(name), full, error)) {
        if (not_found(error) && full.size() > 2 && full[1] == L':')
            identity.kind = FileKind::missing;
        return;
    }
    HANDLE handle = open_by_name(full.c_str(), FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) {
        // No file can have a name such as `*.byte`.
        if (not_found(error = GetLastError()) || error == ERROR_INVALID_NAME)
            identity.kind = FileKind::missing;
        return;
    }
    identify(reinterpret_cast<FileHandle>(handle), identity);
    CloseHandle(handle);
}

// A handle that another program opened for the run (a redirected standard
// output under wine) may not read its volume: the id alone then decides,
// which at worst takes another volume's file for this one. A device or a
// pipe has no id, and is the same as nothing.
bool shares_bytes(const FileIdentity &a, const FileIdentity &b)
{
    return (a.kind == FileKind::regular || a.kind == FileKind::other) && a.kind == b.kind &&
           memcmp(a.file, b.file, sizeof a.file) == 0 && (a.volume == b.volume || a.volume == 0 || b.volume == 0);
}

int find_place(const char *name, OutputPlace &place)
{
    place.name = _strdup(name);
    return place.name != nullptr ? 0 : -1;
}


// A pipe cannot seek back to where the image came from: update mode refuses
// it before a byte of it is read.
FileHandle open_as_it_is(const char *name, bool update, bool &missing)
{
    const DWORD access = update ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    HANDLE handle = CreateFileW(wide(name).c_str(), access, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    missing = handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND;
    if (handle != INVALID_HANDLE_VALUE && update && GetFileType(handle) == FILE_TYPE_PIPE) {
        CloseHandle(handle);
        return NO_FILE;
    }
    return reinterpret_cast<FileHandle>(handle);
}

FileHandle create_new(const OutputPlace &place)
{
    return reinterpret_cast<FileHandle>(CreateFileW(wide(place.name).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                                    SHARE_ALL, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool place_leads_to(const OutputPlace &place, const FileIdentity &identity)
{
    FileIdentity now;
    identify_name(place.name, now);
    return shares_bytes(now, identity);
}

// A new open of the file, not a duplicate: an interrupt's handler empties
// the file through it, and must never wait on the file object that the run
// may be writing through.
FileHandle reopen(FileHandle file)
{
    return reinterpret_cast<FileHandle>(ReOpenFile(handle_of(file), GENERIC_WRITE, SHARE_ALL, 0));
}

int empty_file(FileHandle file)
{
    FILE_END_OF_FILE_INFO end = {};
    return SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) ? 0 : -1;
}

// A handle to what the output's name leads to, through any link: with the
// right to delete it where that is allowed, else only to identify it.
static HANDLE open_to_delete(const wchar_t *name, bool &deletable)
{
    HANDLE handle = open_by_name(name, DELETE | FILE_READ_ATTRIBUTES);
    deletable = handle != INVALID_HANDLE_VALUE;
    return deletable ? handle : open_by_name(name, FILE_READ_ATTRIBUTES);
}

// If `handle` still leads to the output, empties it through the run's own
// handle first (the file may not be deleted, another program may keep it
// open, wine may accept the deletion and then fail at the close without a
// word) and deletes it: at once where the file system takes the POSIX way,
// else as its last handle closes. Closes `handle`. Neither allocates nor
// takes a lock, as the interrupt's handler calls it with the run's thread
// stopped.
static void remove_opened(HANDLE handle, bool deletable, const FileIdentity *identity, HANDLE emptying_handle)
{
    FileIdentity now;
    if (identity == nullptr || (identify(reinterpret_cast<FileHandle>(handle), now) == 0 && shares_bytes(now, *identity))) {
        if (emptying_handle != INVALID_HANDLE_VALUE) {
            FILE_END_OF_FILE_INFO end = {};
            SetFileInformationByHandle(emptying_handle, FileEndOfFileInfo, &end, sizeof end);
        }
        FILE_DISPOSITION_INFO_EX at_once = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
        FILE_DISPOSITION_INFO at_close = {TRUE};
        const FILE_INFO_BY_HANDLE_CLASS DISPOSITION_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
        // Both: where the first is taken (Windows 10 and later, NTFS) the
        // second changes nothing, and elsewhere (wine) it does the work.
        if (deletable) {
            SetFileInformationByHandle(handle, DISPOSITION_EX, &at_once, sizeof at_once);
            SetFileInformationByHandle(handle, FileDispositionInfo, &at_close, sizeof at_close);
        }
    }
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

void remove_file(const OutputPlace &place, const FileIdentity *identity, FileHandle emptying_handle)
{
    bool deletable;
    HANDLE handle = open_to_delete(wide(place.name).c_str(), deletable);
    remove_opened(handle, deletable, identity, handle_of(emptying_handle));
}

FILE *stream_of(FileHandle file, const char *mode)
{
    const int flags = mode[0] == 'r' && mode[1] != '+' ? _O_RDONLY | _O_BINARY : _O_BINARY;
    int fd = file == NO_FILE ? -1 : _open_osfhandle(file, flags);
    if (fd < 0)
        close_file(file);
    FILE *stream = fd >= 0 ? _fdopen(fd, mode) : nullptr;
    if (fd >= 0 && stream == nullptr)
        _close(fd);
    return stream;
}

void close_file(FileHandle file)
{
    if (file != NO_FILE)
        CloseHandle(handle_of(file));
}

// A folder opens too, as on POSIX systems, and then fails at its first read
// like any input that cannot be read. A pipe whose instances are all busy,
// or whose server is between two clients, is waited for as a client waits
// for a busy server, within a bound.
FileHandle open_for_reading(const char *name)
{
    const std::wstring wide_name = wide(name);
    HANDLE handle = open_by_name(wide_name.c_str(), GENERIC_READ);
    DWORD error = GetLastError(), folder_error;
    std::wstring full;
    bool pipe = error == ERROR_PIPE_BUSY || (error == ERROR_FILE_NOT_FOUND &&
                                             !folder_on_disk(wide_name, full, folder_error) && folder_error == ERROR_SUCCESS);
    for (DWORD start = GetTickCount(), waited = 0; handle == INVALID_HANDLE_VALUE && pipe && waited < PIPE_WAIT_MS;
         waited = GetTickCount() - start) {
        if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(wide_name.c_str(), PIPE_WAIT_MS - waited))
            Sleep(10);
        handle = open_by_name(wide_name.c_str(), GENERIC_READ);
        error = GetLastError();
        pipe = error == ERROR_PIPE_BUSY || error == ERROR_FILE_NOT_FOUND;
    }
    return reinterpret_cast<FileHandle>(handle);
}

// The console's control handler runs on a thread of its own, at the same
// time as the main one: each claims the output before it touches it, the
// handler only a guarded one, and the main thread never lets go of what the
// handler has claimed.
enum GuardState { UNGUARDED, GUARDED, CLAIMED_BY_RUN, CLAIMED_BY_INTERRUPT };

// What the handler reaches: the guarded output, its name made wide before
// any interrupt needs it, and the main thread, which it stops.
static struct {
    std::atomic<int> state{UNGUARDED};
    std::atomic<const Guard *> guard{nullptr};
    wchar_t *name = nullptr;
    HANDLE main_thread = nullptr;
} interrupts;

// The interrupt is ending the process and has claimed the output: whatever
// the main thread was about to do must wait for that end.
[[noreturn]] static void wait_for_the_interrupt()
{
    for (;;)
        Sleep(INFINITE);
}

void hold_interrupts()
{
    int state = interrupts.state.load();
    while (state != CLAIMED_BY_INTERRUPT && !interrupts.state.compare_exchange_weak(state, CLAIMED_BY_RUN)) {
    }
    if (state == CLAIMED_BY_INTERRUPT)
        wait_for_the_interrupt();
}

void release_interrupts()
{
    interrupts.state.store(interrupts.guard.load() != nullptr ? GUARDED : UNGUARDED);
}

void guard_output(const Guard *guard)
{
    const bool held = interrupts.state.load() == CLAIMED_BY_RUN;
    if (guard == nullptr) {
        hold_interrupts();
        interrupts.guard.store(nullptr);
        free(interrupts.name);
        interrupts.name = nullptr;
    } else {
        interrupts.name = _wcsdup(wide(guard->place.name).c_str());
        interrupts.guard.store(guard);
    }
    if (!held)
        release_interrupts();
}

// Whether a console event ends the run: a log-off or shut-down reaches only
// services.
static bool ends_the_run(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT;
}

// An interrupted run leaves no image, then ends with the status by which
// cmd.exe and PowerShell know an interrupted program, as the console's
// default handler does, but without the C library's and the loader's exit
// work: that work takes locks that the main thread, stopped wherever it was,
// may hold, and would wait for ever. For the same reason the file is opened
// before the main thread is stopped.
static BOOL WINAPI on_console_control(DWORD event)
{
    if (!ends_the_run(event))
        return FALSE;
    for (int state = GUARDED;; state = GUARDED) {
        if (interrupts.state.compare_exchange_strong(state, CLAIMED_BY_INTERRUPT)) {
            const Guard *guard = interrupts.guard.load();
            bool deletable;
            HANDLE handle = open_to_delete(interrupts.name, deletable);
            CONTEXT stopped_at;
            stopped_at.ContextFlags = CONTEXT_CONTROL;
            SuspendThread(interrupts.main_thread);
            GetThreadContext(interrupts.main_thread, &stopped_at);
            remove_opened(handle, deletable, &guard->identity, handle_of(guard->emptying_handle));
            break;
        }
        if (state == CLAIMED_BY_INTERRUPT)
            wait_for_the_interrupt();
        if (state == UNGUARDED)
            break;
        Sleep(1);
    }
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// From the main thread, which the handler must be able to stop.
void install_interrupt_handler()
{
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &interrupts.main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(on_console_control, TRUE);
}
