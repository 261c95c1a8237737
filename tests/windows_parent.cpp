// Starts romweave.exe as a Windows program would, where wine's POSIX side
// cannot: `windows_parent.exe no-handles TOOL ARGS...` gives it no standard
// handles at all; `windows_parent.exe serve-pipe TOOL ARGS...` serves the file
// NAME of this folder on the pipe \\.\pipe\NAME that the arguments name, in
// any spelling, and fails with 124 unless exactly one client came for each
// time it is named (`serve-pipe-to-none`: unless none came);
// `windows_parent.exe wide TOOL ARGS...` only passes the arguments, with
// their \uXXXX escapes, on the wide command line; `windows_parent.exe
// '>>FILE' TOOL ARGS...` appends its standard output to FILE as cmd.exe's
// `>>` does, sharing it for reading only. Exits with the tool's status.
#include <cstdio>
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
    volatile LONG connected;
};

struct Client {
    const Served *served;
    HANDLE pipe;
};

HANDLE new_instance(const std::wstring &pipe)
{
    return CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            65536, 0, 0, nullptr);
}

// Closed, not disconnected: the client reads to the end, then sees it.
DWORD WINAPI write_to(void *what)
{
    Client *client = static_cast<Client *>(what);
    DWORD written;
    WriteFile(client->pipe, client->served->bytes.data(), static_cast<DWORD>(client->served->bytes.size()), &written,
              nullptr);
    FlushFileBuffers(client->pipe);
    CloseHandle(client->pipe);
    delete client;
    return 0;
}

// Each client is counted and served on a thread of its own, and the next
// instance is made as soon as one has connected, so that the pipe never
// seems gone between two clients and a client that reads nothing holds up
// no other.
DWORD WINAPI serve(void *what)
{
    Served &served = *static_cast<Served *>(what);
    for (HANDLE next = new_instance(served.pipe);;) {
        ConnectNamedPipe(next, nullptr);
        InterlockedIncrement(&served.connected);
        Client *client = new Client{&served, next};
        next = new_instance(served.pipe);
        CloseHandle(CreateThread(nullptr, 0, write_to, client, 0, nullptr));
    }
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
    // Any spelling of a pipe's name ends in pipe\NAME or NamedPipe\NAME.
    Served served = {};
    for (int i = 3; i < argc; i++) {
        const std::wstring arg = argv[i];
        size_t last = arg.rfind(L'\\');
        if (how.compare(0, 10, L"serve-pipe") == 0 && last != std::wstring::npos && last >= 4 &&
            _wcsnicmp(arg.c_str() + last - 4, L"pipe", 4) == 0) {
            served.pipe = PIPE_PREFIX + arg.substr(last + 1);
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
        CloseHandle(CreateThread(nullptr, 0, serve, &served, 0, nullptr));
    }
    std::wstring line = command_line(argc, argv);
    PROCESS_INFORMATION tool;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &tool))
        return 126;
    WaitForSingleObject(tool.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(tool.hProcess, &status);
    // A pipe's server must have seen one client each time it is named, and
    // none where the run was not to touch it.
    const LONG expected = how == L"serve-pipe-to-none" ? 0 : served.clients;
    if (served.clients > 0 && served.connected != expected) {
        printf("[%ld clients for %ld]", served.connected, expected);
        return 124;
    }
    return static_cast<int>(status);
}
