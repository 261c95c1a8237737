// The platform module on Windows: CRT descriptors, file indexes from the
// volume, console interrupts through the C signals, and file names taken as
// UTF-8 and passed to the wide (UTF-16) functions, which know no MAX_PATH
// limit and no code page.
#include "platform.h"

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

FILE *open_output_file(const char *name, bool update, bool &created)
{
    // OPEN_ALWAYS keeps an existing file as it is and says that it existed.
    HANDLE handle = CreateFileW(wide(name).c_str(), update ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                update ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    created = !update && handle != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, update ? "r+b" : "wb");
    if (stream == nullptr)
        _close(fd);
    return stream;
}

static bool empty_file(HANDLE handle)
{
    FILE_END_OF_FILE_INFO end = {};
    return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

int truncate_output(FILE *output)
{
    return empty_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(output)))) ? 0 : -1;
}

void remove_new_file(const char *name)
{
    DeleteFileW(wide(name).c_str());
}

// A pipe opens at once on Windows, whether anyone reads it or not.
bool opening_may_wait(const char *)
{
    return false;
}

static int identify_handle(HANDLE handle, FileIdentity &identity)
{
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    identity = FileIdentity{};
    // A device such as NUL or CON has no file index; it is never "the same
    // file", and never removed.
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return 0;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return -1;
    identity.device = information.dwVolumeSerialNumber;
    identity.file = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity.regular = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return 0;
}

// Follows links to the file itself; `access` 0 only reads its identity.
static HANDLE open_by_name(const char *name, DWORD access)
{
    return CreateFileW(wide(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int identify_file(const char *name, FileIdentity &identity)
{
    HANDLE handle = open_by_name(name, 0);
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
        return same_regular_file(console, file);
    // A redirected handle may lack the right to read its volume (wine's
    // always does); the file's id alone then decides, since taking another
    // file for this one costs no more than the messages.
    FILE_ID_INFO id;
    if (!file.regular || GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id))
        return false;
    uint64_t low;
    memcpy(&low, id.FileId.Identifier, sizeof low);
    return low == file.file;
}

int hold_descriptor(FILE *output)
{
    return _dup(_fileno(output));
}

void release_descriptor(int held)
{
    if (held >= 0)
        _close(held);
}

// The handle reaches the file through any link, and the identity and the
// deletion act on that one handle. The run's own handles share deletion, so
// the file goes when the last one closes. A file that may not be deleted (its
// folder's rights, or marked read-only meanwhile) is emptied through the
// run's own handle instead.
void discard_output(const char *name, const FileIdentity &created, int held)
{
    HANDLE handle = open_by_name(name, DELETE);
    bool deletable = handle != INVALID_HANDLE_VALUE;
    if (!deletable)
        handle = open_by_name(name, 0);
    FileIdentity now;
    if (identify_handle(handle, now) == 0 && same_regular_file(now, created)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        bool deleted = deletable &&
                       SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
        if (!deleted && held >= 0)
            empty_file(reinterpret_cast<HANDLE>(_get_osfhandle(held)));
    }
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// What the console's control handler runs: the one thing it must reach, as the
// kernel's signal table is on POSIX systems.
static void (*interrupt_action)(int) = nullptr;

static BOOL WINAPI on_console_control(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        interrupt_action(SIGINT);
        break;
    case CTRL_BREAK_EVENT:
        interrupt_action(SIGBREAK);
        break;
    case CTRL_CLOSE_EVENT:
        interrupt_action(SIGTERM);
        break;
    }
    return FALSE;
}

void install_interrupt_handler(void (*on_interrupt)(int))
{
    interrupt_action = on_interrupt;
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

// The control handler runs on a thread of its own, which no mask holds back;
// the window between creating and guarding the output is that much shorter
// than a person's reaction to it.
void hold_interrupts()
{
}

void release_interrupts()
{
}

// What the console's default handler does: the status by which cmd.exe and
// PowerShell know an interrupted program.
void die_by_signal(int)
{
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Large pages need a privilege that a console tool does not have.
void advise_huge_pages(unsigned char *, size_t)
{
}
