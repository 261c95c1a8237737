// The platform module on Windows: CRT descriptors, file indexes from the
// volume, console interrupts through the C signals, and file names taken as
// UTF-8 and passed to the wide (UTF-16) functions, which know no MAX_PATH
// limit and no code page.
#include "platform.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// The tool's names are UTF-8; the file functions take UTF-16. An empty name
// stays empty and fails where it is opened.
static std::wstring wide(const char *name)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring converted(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, name, -1, &converted[0], length);
    converted.resize(static_cast<size_t>(length - 1));
    return converted;
}

// What the C library's start-up code uses to split the wide command line,
// exported by msvcrt.dll on every Windows; the last argument is its
// _startupinfo, one int.
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***environment, int expand_wildcards,
                              int *startup_information);

// The arguments as the wide command line has them, in UTF-8, whatever the
// code page, split as the C library split argv; they live as long as the
// process, as argv does.
char **command_line_arguments(int argc, char **argv)
{
    int count = 0, startup_information = 0;
    wchar_t **wide_arguments = nullptr, **environment = nullptr;
    if (__wgetmainargs(&count, &wide_arguments, &environment, 0, &startup_information) != 0 || count != argc)
        return argv;
    char **arguments = new char *[static_cast<size_t>(count) + 1];
    for (int i = 0; i < count; i++) {
        int length = WideCharToMultiByte(CP_UTF8, 0, wide_arguments[i], -1, nullptr, 0, nullptr, nullptr);
        arguments[i] = new char[static_cast<size_t>(length > 0 ? length : 1)]();
        if (length > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide_arguments[i], -1, arguments[i], length, nullptr, nullptr);
    }
    arguments[count] = nullptr;
    return arguments;
}

FILE *open_input_file(const char *name)
{
    return _wfopen(wide(name).c_str(), L"rb");
}

int open_standard_handles()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (_get_osfhandle(fd) >= 0)
            continue;
        // _open() takes the lowest free descriptor: the closed one.
        int null_fd = _open("NUL", _O_RDWR | _O_BINARY);
        if (null_fd != fd) {
            if (null_fd >= 0)
                _close(null_fd);
            return 1;
        }
    }
    return 0;
}

// _isatty() is true for every character device, NUL included; only a console
// has a console mode.
bool is_terminal(FILE *stream)
{
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

int silence_standard_output()
{
    int null_fd = _open("NUL", _O_WRONLY | _O_BINARY);
    if (null_fd < 0)
        return 1;
    int moved = _dup2(null_fd, 1);
    _close(null_fd);
    return moved == 0 ? 0 : 1;
}

static int identify_handle(HANDLE handle, FileIdentity &identity)
{
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    identity = FileIdentity{};
    // A device such as NUL or CON, or a pipe, has no file index; it is never
    // "the same file", and never removed.
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return 0;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return -1;
    identity.device = information.dwVolumeSerialNumber;
    identity.file = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity.kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? FileKind::regular
                                                                                   : FileKind::other;
    return 0;
}

// Follows links to the file itself; `access` 0 only reads its identity.
static HANDLE open_by_name(const wchar_t *name, DWORD access)
{
    return CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int identify_file(const char *name, FileIdentity &identity)
{
    HANDLE handle = open_by_name(wide(name).c_str(), 0);
    int result = identify_handle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return result;
}

int identify_stream(FILE *stream, FileIdentity &identity)
{
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), identity);
}

bool standard_output_leads_to(const FileIdentity &file)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    FileIdentity console;
    if (identify_handle(handle, console) == 0)
        return same_file(console, file);
    // A redirected handle may lack the right to read its volume (wine's
    // always does); the file's id alone then decides, since taking another
    // file for this one costs no more than the messages.
    FILE_ID_INFO id;
    if (file.kind != FileKind::regular || GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id))
        return false;
    uint64_t low;
    memcpy(&low, id.FileId.Identifier, sizeof low);
    return low == file.file;
}

static bool empty_file(HANDLE handle)
{
    FILE_END_OF_FILE_INFO end = {};
    return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// The console's control handler runs on a thread of its own, at the same
// time as the main one: each claims the guarded output before it touches it,
// and the main thread never lets go of what the handler has claimed.
enum GuardState { UNGUARDED, GUARDED, CLAIMED_BY_RUN, CLAIMED_BY_INTERRUPT };
static std::atomic<int> guard_state{UNGUARDED};

// What the handler needs to remove the guarded output, and nothing more.
static struct {
    const wchar_t *name;
    FileIdentity identity;
    int held;
} guarded;

// The handle reaches the file through any link, and the identity and the
// deletion act on that one handle. The run's own handles share deletion, so
// the file goes when the last one closes. A file that may not be deleted (its
// folder's rights, or marked read-only meanwhile) is emptied through the
// run's own handle instead.
static void discard(const wchar_t *name, const FileIdentity &identity, int held)
{
    HANDLE handle = open_by_name(name, DELETE);
    bool deletable = handle != INVALID_HANDLE_VALUE;
    if (!deletable)
        handle = open_by_name(name, 0);
    FileIdentity now;
    if (identify_handle(handle, now) == 0 && same_file(now, identity)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        bool deleted = deletable &&
                       SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
        if (!deleted && held >= 0)
            empty_file(reinterpret_cast<HANDLE>(_get_osfhandle(held)));
    }
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// The interrupt is ending the process and has claimed the output: whatever
// the main thread was about to do must wait for that end.
[[noreturn]] static void wait_for_the_interrupt()
{
    for (;;)
        Sleep(INFINITE);
}

int open_output(const char *name, bool update, OutputFile &output)
{
    std::wstring wide_name = wide(name);
    // OPEN_ALWAYS keeps an existing file as it is and says that it existed.
    HANDLE handle = CreateFileW(wide_name.c_str(), update ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                update ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    output.created = !update && handle != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE)
        return 1;
    output.name = _wcsdup(wide_name.c_str());
    // Update mode writes the image back where it came from; a pipe cannot
    // seek, so it is refused before a byte of it is read.
    bool usable = output.name != nullptr && identify_handle(handle, output.identity) == 0 &&
                  !(update && GetFileType(handle) == FILE_TYPE_PIPE);
    int fd = usable ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY) : -1;
    if (fd < 0)
        CloseHandle(handle);
    if (fd >= 0 && (output.stream = _fdopen(fd, update ? "r+b" : "wb")) == nullptr)
        _close(fd);
    if (output.stream != nullptr)
        return 0;
    // A file this open made goes again, identified or not.
    if (output.created && output.name != nullptr)
        DeleteFileW(output.name);
    output.created = false;
    abort_output(output);
    return 1;
}

int guard_output(OutputFile &output)
{
    if (output.identity.kind != FileKind::regular)
        return 0;
    output.held = _dup(_fileno(output.stream));
    if (!empty_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(output.stream)))))
        return 1;
    guarded.name = output.name;
    guarded.identity = output.identity;
    guarded.held = output.held;
    guard_state.store(GUARDED);
    return 0;
}

void commit_output(OutputFile &output)
{
    int expected = GUARDED;
    if (!guard_state.compare_exchange_strong(expected, UNGUARDED) && expected == CLAIMED_BY_INTERRUPT)
        wait_for_the_interrupt();
    output.created = false;
}

void abort_output(OutputFile &output)
{
    if (output.stream != nullptr)
        fclose(output.stream);
    output.stream = nullptr;
    int expected = GUARDED;
    bool claimed = guard_state.compare_exchange_strong(expected, CLAIMED_BY_RUN);
    if (!claimed && expected == CLAIMED_BY_INTERRUPT)
        wait_for_the_interrupt();
    if ((claimed || output.created) && output.name != nullptr)
        discard(output.name, output.identity, output.held);
    guard_state.store(UNGUARDED);
    output.created = false;
    if (output.held >= 0)
        _close(output.held);
    output.held = -1;
    free(output.name);
    output.name = nullptr;
}

// What the console's default handler does: the status by which cmd.exe and
// PowerShell know an interrupted program.
[[noreturn]] static void die_by_signal(int)
{
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Which signal a console event stands for, or 0 for one that does not end
// the run.
static int signal_of(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_BREAK_EVENT:
        return SIGBREAK;
    case CTRL_CLOSE_EVENT:
        return SIGTERM;
    }
    return 0;
}

// An interrupted run leaves no partial image, then ends as an interrupted
// console program does. The run's removal, if under way, is finished first.
static BOOL WINAPI on_console_control(DWORD event)
{
    int signal_number = signal_of(event);
    if (signal_number == 0)
        return FALSE;
    int expected = GUARDED;
    if (guard_state.compare_exchange_strong(expected, CLAIMED_BY_INTERRUPT))
        discard(guarded.name, guarded.identity, guarded.held);
    while (guard_state.load() == CLAIMED_BY_RUN)
        Sleep(1);
    die_by_signal(signal_number);
}

void install_interrupt_handler()
{
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

// Large pages need a privilege that a console tool does not have.
void advise_huge_pages(unsigned char *, size_t)
{
}
