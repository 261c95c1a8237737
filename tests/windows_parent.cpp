// Starts romweave.exe as a Windows program would, where wine's POSIX side
// cannot: `windows_parent.exe no-handles TOOL ARGS...` gives it no standard
// handles at all; `windows_parent.exe serve-pipe TOOL ARGS...` serves the file
// NAME of this folder on the pipe \\.\pipe\NAME that the arguments name, in
// any spelling, and fails with 124 unless exactly one client came for each
// time it is named (`serve-pipe-to-none`: unless none came);
// `serve-pipe-slowly` serves one client at a time, the first only after a
// client of its own has kept the pipe busy for half a second, with no
// instance at all for 200 ms after each (`serve-pipe-slowly-to-none`);
// `windows_parent.exe wide TOOL ARGS...` only passes the arguments, with
// their \uXXXX escapes, on the wide command line; `windows_parent.exe
// '>>FILE' TOOL ARGS...` appends its standard output to the existing FILE
// (`~FILE`: by its short 8.3 name) as cmd.exe's `>>` does, sharing it for
// reading only, also after a pipe's mode; `deny-read:FILE` holds FILE open
// for writing, sharing it for anything but reading. Exits with the tool's
// status, 125 if it could not be started so.
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
    bool slowly;
    HANDLE first;
};

struct Client {
    const Served *served;
    HANDLE pipe;
};

HANDLE new_instance(const Served &served)
{
    return CreateNamedPipeW(served.pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                            served.slowly ? 1 : PIPE_UNLIMITED_INSTANCES, 65536, 0, 0, nullptr);
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
// no other; served slowly, the pipe is busy while a client reads, and gone
// for a while after it.
DWORD WINAPI serve(void *what)
{
    Served &served = *static_cast<Served *>(what);
    for (HANDLE next = served.first;;) {
        ConnectNamedPipe(next, nullptr);
        InterlockedIncrement(&served.connected);
        Client *client = new Client{&served, next};
        if (served.slowly)
            write_to(client), Sleep(200);
        next = new_instance(served);
        if (!served.slowly)
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
    const size_t appended = how.find(L">>");
    std::wstring target = appended == std::wstring::npos ? how.substr(how.find(L':') + 1) : how.substr(appended + 2);
    if (how == L"no-handles" || appended != std::wstring::npos)
        startup.dwFlags = STARTF_USESTDHANDLES;
    wchar_t short_name[MAX_PATH];
    if (target[0] == L'~' && GetShortPathNameW(target.c_str() + 1, short_name, MAX_PATH) > 0)
        target = short_name;
    // Held as long as this process lives.
    if (how.compare(0, 10, L"deny-read:") == 0 &&
        CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                    nullptr) == INVALID_HANDLE_VALUE)
        return 125;
    if (appended != std::wstring::npos) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        startup.hStdOutput = CreateFileW(target.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, &inherited, OPEN_EXISTING,
                                         0, nullptr);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        if (startup.hStdOutput == INVALID_HANDLE_VALUE)
            return 125;
    }
    // Any spelling of a pipe's name ends in pipe\NAME or NamedPipe\NAME.
    Served served = {};
    served.slowly = how.compare(0, 17, L"serve-pipe-slowly") == 0;
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
        served.first = new_instance(served);
        CloseHandle(CreateThread(nullptr, 0, serve, &served, 0, nullptr));
    }
    HANDLE own_client = served.slowly ? CreateFileW(served.pipe.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                                    nullptr)
                                      : INVALID_HANDLE_VALUE;
    std::wstring line = command_line(argc, argv);
    PROCESS_INFORMATION tool;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &tool))
        return 126;
    if (own_client != INVALID_HANDLE_VALUE)
        Sleep(500), CloseHandle(own_client);
    WaitForSingleObject(tool.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(tool.hProcess, &status);
    // A pipe's server must have seen one client each time it is named, and
    // none where the run was not to touch it.
    const LONG expected = (how.find(L"to-none") != std::wstring::npos ? 0 : served.clients) + served.slowly;
    if (served.clients > 0 && served.connected != expected) {
        printf("[%ld clients for %ld]", served.connected, expected);
        return 124;
    }
    return static_cast<int>(status);
}
