// Starts romweave.exe as a Windows program would, where wine's POSIX side
// cannot: `windows_parent.exe no-handles TOOL ARGS...` gives it no standard
// handles at all; `windows_parent.exe serve-pipe TOOL ARGS...` serves the file
// NAME of this folder on the pipe \\.\pipe\NAME that the arguments name, to
// as many clients as there are such arguments, and then to none;
// `windows_parent.exe wide TOOL ARGS...` only passes the arguments, with
// their \uXXXX escapes, on the wide command line; `windows_parent.exe
// '>>FILE' TOOL ARGS...` appends its standard output to FILE as cmd.exe's
// `>>` does, sharing it for reading only. Exits with the tool's status.
#include <string>
#include <vector>

#include <windows.h>

namespace {

const std::wstring PIPE_PREFIX = L"\\\\.\\pipe\\";

// \uXXXX in an argument stands for that UTF-16 unit, which no POSIX
// argument can carry to wine: a surrogate without its partner.
std::wstring command_line(int argc, wchar_t **argv)
{
    std::wstring line;
    for (int i = 2; i < argc; i++) {
        line += i > 2 ? L" \"" : L"\"";
        for (const wchar_t *next = argv[i]; *next != L'\0'; next++) {
            bool escape = next[0] == L'\\' && next[1] == L'u' && wcslen(next) >= 6;
            line += escape ? static_cast<wchar_t>(wcstoul(std::wstring(next + 2, 4).c_str(), nullptr, 16)) : *next;
            next += escape ? 5 : 0;
        }
        line += L"\"";
    }
    return line;
}

struct Served {
    std::wstring pipe;
    std::vector<char> bytes;
    int clients;
    HANDLE next;
};

HANDLE new_instance(const std::wstring &pipe)
{
    return CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            65536, 0, 0, nullptr);
}

// The next instance is made as soon as a client has connected, so that the
// pipe never seems gone between two clients.
DWORD WINAPI serve(void *what)
{
    const Served &served = *static_cast<const Served *>(what);
    HANDLE next = served.next;
    for (int i = 0; i < served.clients; i++) {
        HANDLE client = next;
        ConnectNamedPipe(client, nullptr);
        next = i + 1 < served.clients ? new_instance(served.pipe) : INVALID_HANDLE_VALUE;
        DWORD written;
        WriteFile(client, served.bytes.data(), static_cast<DWORD>(served.bytes.size()), &written, nullptr);
        // Closed, not disconnected: the client reads to the end, then sees it.
        FlushFileBuffers(client);
        CloseHandle(client);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3)
        return 125;
    const std::wstring how = argv[1];
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (how == L"no-handles" || how.compare(0, 2, L">>") == 0)
        startup.dwFlags = STARTF_USESTDHANDLES;
    if (how.compare(0, 2, L">>") == 0) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        startup.hStdOutput = CreateFileW(how.c_str() + 2, FILE_APPEND_DATA, FILE_SHARE_READ, &inherited, OPEN_ALWAYS,
                                         0, nullptr);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    Served served = {};
    for (int i = 3; i < argc; i++) {
        if (how == L"serve-pipe" && PIPE_PREFIX.compare(0, std::wstring::npos, argv[i], PIPE_PREFIX.size()) == 0) {
            served.pipe = argv[i];
            served.clients++;
        }
    }
    if (served.clients > 0) {
        HANDLE file = CreateFileW(served.pipe.c_str() + PIPE_PREFIX.size(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        served.bytes.resize(GetFileSize(file, nullptr));
        DWORD read;
        ReadFile(file, served.bytes.data(), static_cast<DWORD>(served.bytes.size()), &read, nullptr);
        CloseHandle(file);
        served.next = new_instance(served.pipe);
        CloseHandle(CreateThread(nullptr, 0, serve, &served, 0, nullptr));
    }
    std::wstring line = command_line(argc, argv);
    PROCESS_INFORMATION tool;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &tool))
        return 126;
    WaitForSingleObject(tool.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(tool.hProcess, &status);
    return static_cast<int>(status);
}
