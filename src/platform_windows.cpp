// The platform module on Windows: CRT descriptors, file indexes from the
// volume, console interrupts through the C signals.
#include "platform.h"

#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

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

bool is_terminal(FILE *stream)
{
    return _isatty(_fileno(stream)) != 0;
}

static int identify_handle(HANDLE handle, FileIdentity &identity)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information))
        return -1;
    identity.device = information.dwVolumeSerialNumber;
    identity.file = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity.regular = GetFileType(handle) == FILE_TYPE_DISK &&
                       (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return 0;
}

// Follows links to the file itself; `access` 0 only reads its identity.
static HANDLE open_by_name(const char *name, DWORD access)
{
    return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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

bool same_regular_file(const FileIdentity &a, const FileIdentity &b)
{
    return a.regular && b.regular && a.device == b.device && a.file == b.file;
}

// The handle reaches the file through any link, and the identity and the
// deletion act on that one handle. Windows refuses while the run still holds
// the file open, so an interrupt before the clean-up may leave it.
void remove_if_still(const char *name, const FileIdentity &created)
{
    HANDLE handle = open_by_name(name, DELETE);
    FileIdentity now;
    if (identify_handle(handle, now) == 0 && same_regular_file(now, created)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    }
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

void install_interrupt_handler(void (*on_interrupt)(int))
{
    signal(SIGINT, on_interrupt);
    signal(SIGBREAK, on_interrupt);
    signal(SIGTERM, on_interrupt);
}

void die_by_signal(int signal_number)
{
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    _exit(3);
}

// Large pages need a privilege that a console tool does not have.
void advise_huge_pages(unsigned char *, size_t)
{
}
