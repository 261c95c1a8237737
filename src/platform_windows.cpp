// The platform module on Windows: CRT descriptors, file indexes from the
// volume, console interrupts through a console control handler, and file
// names taken as WTF-8 and passed to the wide (UTF-16) functions, which know
// no MAX_PATH limit and no code page.
#include "platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// Which file a handle leads to: its volume and its id there. A device or a
// pipe has none, and is never the same as anything.
enum class FileKind { unknown, regular, other };

struct FileIdentity {
    uint64_t volume = 0; // 0 where the handle may not read its volume
    FILE_ID_128 id = {};
    FileKind kind = FileKind::unknown;
};

// A handle that another program opened for the run (a redirected standard
// output under wine) may not read its volume: the id alone then decides,
// which at worst takes another volume's file for this one and keeps the
// messages out of it.
static bool same_file(const FileIdentity &a, const FileIdentity &b)
{
    return a.kind != FileKind::unknown && a.kind == b.kind && memcmp(&a.id, &b.id, sizeof a.id) == 0 &&
           (a.volume == b.volume || a.volume == 0 || b.volume == 0);
}

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

// A stream over a handle this module opened, or nullptr with the handle
// closed.
static FILE *stream_of(HANDLE handle, int flags, const char *mode)
{
    int fd = handle == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0 && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    FILE *stream = fd >= 0 ? _fdopen(fd, mode) : nullptr;
    if (fd >= 0 && stream == nullptr)
        _close(fd);
    return stream;
}

// Follows links to the file itself.
static HANDLE open_by_name(const wchar_t *name, DWORD access)
{
    return CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
    return placed == 0 ? 0 : 1;
}

// _isatty() is true for every character device, NUL included; only a console
// has a console mode.
bool is_terminal(FILE *stream)
{
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

// The id and volume serial as 128 and 64 bits (FileIdInfo), which hold on
// every file system, ReFS included, and which wine gives for every handle.
static int identify_handle(HANDLE handle, FileIdentity &identity)
{
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    identity = FileIdentity{};
    // A device such as NUL or CON, or a pipe, has no file id; it is never
    // "the same file", and never removed.
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return 0;
    FILE_ID_INFO id;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return -1;
    identity.volume = id.VolumeSerialNumber;
    identity.id = id.FileId;
    identity.kind = standard.Directory ? FileKind::other : FileKind::regular;
    return 0;
}

// Whether the messages would go into `file`.
static bool standard_output_leads_to(const FileIdentity &file)
{
    FileIdentity console;
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(1)), console) == 0 && same_file(console, file);
}

// What a call that fills a buffer of a given length gives, in a string of
// its own, without a \\?\ in front; empty on failure.
template <typename Call> static std::wstring path_from(Call call)
{
    DWORD length = call(nullptr, 0);
    std::wstring path(length, L'\0');
    if (length == 0 || call(&path[0], length) >= length)
        return std::wstring();
    path.resize(length - 1);
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
}

// Closed standard handles get the null device. A name may lead to a pipe,
// whose every open connects to its server, so none is opened before the
// command line is known good: until then standard output that is a file is
// compared with the arguments by full path, which keeps the usage text out
// of a file named as it is redirected (`> out.bin`). A handle that gives no
// path (wine's, from a POSIX shell) cannot be compared so. Once the files
// are open, open_output compares them by identity.
int prepare_standard_handles(int argc, char **argv)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (_get_osfhandle(fd) < 0 && put_null_device_on(fd) != 0)
            return 1;
    }
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    if (GetFileType(console) != FILE_TYPE_DISK)
        return 0;
    const std::wstring console_path = path_from([console](wchar_t *path, DWORD length) {
        return GetFinalPathNameByHandleW(console, path, length, FILE_NAME_NORMALIZED);
    });
    for (int i = 1; i < argc && !console_path.empty(); i++) {
        const std::wstring name = wide(argv[i]);
        const std::wstring full = path_from([&name](wchar_t *path, DWORD length) {
            return GetFullPathNameW(name.c_str(), length, path, nullptr);
        });
        if (_wcsicmp(full.c_str(), console_path.c_str()) == 0)
            return put_null_device_on(1);
    }
    return 0;
}

static bool empty_file(HANDLE handle)
{
    FILE_END_OF_FILE_INFO end = {};
    return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// The output from its open to the end of the run.
struct Output {
    FILE *stream = nullptr;
    FileIdentity identity;
    bool created = false;    // this run made the file
    bool emptied = false;    // create mode: the run emptied it
    wchar_t *name = nullptr; // the name as the file functions take it
    HANDLE held = INVALID_HANDLE_VALUE; // a handle of the run's own, to empty it
    char **inputs = nullptr;
    HANDLE *input_handles = nullptr; // each input's one open, until it is read
    int input_count = 0;
};

// The console's control handler runs on a thread of its own, at the same
// time as the main one: each claims the output before it touches it, the
// handler only an emptied one, and the main thread never lets go of what the
// handler has claimed.
enum GuardState { UNGUARDED, GUARDED, CLAIMED_BY_RUN, CLAIMED_BY_INTERRUPT };
static std::atomic<int> guard_state{UNGUARDED};

// What the handler needs to remove the guarded output, and nothing more:
// the file's name, identity and handles, and the main thread, which it
// stops before it closes those handles.
static struct {
    const wchar_t *name;
    FileIdentity identity;
    HANDLE held, stream;
    HANDLE main_thread;
} guarded;

// A handle to what the output's name leads to, through any link: with the
// right to delete it where that is allowed, else only to identify it.
static HANDLE open_to_delete(const wchar_t *name, bool &deletable)
{
    HANDLE handle = open_by_name(name, DELETE | FILE_READ_ATTRIBUTES);
    deletable = handle != INVALID_HANDLE_VALUE;
    return deletable ? handle : open_by_name(name, FILE_READ_ATTRIBUTES);
}

// Marks the file that `handle` leads to for deletion, and closes `handle`,
// if it is still the output; the file goes when the run's last handle to it
// closes. It is emptied through the run's own handle first: a file may not
// be deleted (its folder's rights, or marked read-only meanwhile), another
// program may keep it open past the run, and wine accepts the deletion and
// then fails to unlink it at the close without a word; no fragment of an
// image stays under the output's name meanwhile.
static void discard(HANDLE handle, bool deletable, const FileIdentity &identity, HANDLE held)
{
    FileIdentity now;
    if (identify_handle(handle, now) == 0 && same_file(now, identity)) {
        empty_file(held);
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (deletable)
            SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
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

// Takes the output out of the handler's reach, from whatever state it is in,
// unless the handler has it already.
static void claim_for_the_run()
{
    int state = guard_state.load();
    while (state != CLAIMED_BY_INTERRUPT && !guard_state.compare_exchange_weak(state, CLAIMED_BY_RUN)) {
    }
    if (state == CLAIMED_BY_INTERRUPT)
        wait_for_the_interrupt();
}

// Opens the file as it is; OPEN_ALWAYS keeps an existing file as it is and
// says that it existed. Update mode writes the image back where it came
// from; a pipe cannot seek, so it is refused before a byte of it is read.
static int open_as_it_is(const char *name, bool update, Output &output)
{
    std::wstring wide_name = wide(name);
    const DWORD access = update ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    HANDLE handle = CreateFileW(wide_name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, update ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    output.created = !update && handle != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE)
        return 1;
    output.name = _wcsdup(wide_name.c_str());
    bool usable = output.name != nullptr && identify_handle(handle, output.identity) == 0 &&
                  !(update && GetFileType(handle) == FILE_TYPE_PIPE);
    if (!usable)
        CloseHandle(handle);
    output.stream = usable ? stream_of(handle, _O_BINARY, update ? "r+b" : "wb") : nullptr;
    if (output.stream != nullptr)
        return 0;
    // A file this open made goes again, identified or not.
    if (output.created && output.name != nullptr)
        DeleteFileW(output.name);
    output.created = false;
    return 1;
}

// Each input is opened here, once, by the open that the run then reads it
// through, so that a pipe's server sees one client each time it is named and
// every file is identified from its handle; no name is opened only to learn
// what it is. An open that fails (a pipe whose instances are all busy until
// an earlier input has been read, a file yet to come) is tried again when
// the input's turn comes.
static int open_inputs(Output &output, char **inputs, int input_count)
{
    output.inputs = inputs;
    output.input_handles = static_cast<HANDLE *>(malloc(sizeof(HANDLE) * static_cast<size_t>(input_count)));
    if (output.input_handles == nullptr)
        return 1;
    bool busy = false;
    for (; output.input_count < input_count; output.input_count++) {
        const std::wstring name = wide(inputs[output.input_count]);
        HANDLE handle = busy ? INVALID_HANDLE_VALUE : open_by_name(name.c_str(), GENERIC_READ);
        busy = busy || (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY);
        output.input_handles[output.input_count] = handle;
    }
    return 0;
}

// Whether `handle` leads to the output.
static bool is_the_output(const Output &output, HANDLE handle)
{
    FileIdentity identity;
    return identify_handle(handle, identity) == 0 && same_file(identity, output.identity);
}

// The first input that is the output under any name, or -1. A file that did
// not exist before this run is no input yet; an input that the run created
// is caught at its turn.
static int input_that_is_the_output(const Output &output)
{
    for (int i = 0; i < output.input_count && !output.created; i++) {
        if (is_the_output(output, output.input_handles[i]))
            return i;
    }
    return -1;
}

// Create mode, once the output is known to be no input: a regular file is
// emptied, and from then on removed by an interrupt until it is written.
static int empty_and_guard(Output &output)
{
    if (output.identity.kind != FileKind::regular)
        return 0;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(output.stream)));
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &output.held, 0, FALSE,
                         DUPLICATE_SAME_ACCESS) ||
        !empty_file(handle))
        return 1;
    output.emptied = true;
    guarded = {output.name, output.identity, output.held, handle, guarded.main_thread};
    return 0;
}

// Everything the output holds goes; a created or emptied file only if
// `remove`. Held from the handler while it goes.
static void release(Output *&output, bool remove)
{
    claim_for_the_run();
    if (output->stream != nullptr)
        fclose(output->stream);
    if (remove && (output->emptied || output->created) && output->name != nullptr) {
        bool deletable;
        HANDLE handle = open_to_delete(output->name, deletable);
        discard(handle, deletable, output->identity, output->held);
    }
    // The last handle, so that the file is gone before the handler may end
    // the process.
    if (output->held != INVALID_HANDLE_VALUE)
        CloseHandle(output->held);
    guard_state.store(UNGUARDED);
    // A failed open's INVALID_HANDLE_VALUE is the process's own pseudo
    // handle, which a close leaves alone.
    for (int i = 0; i < output->input_count; i++)
        CloseHandle(output->input_handles[i]);
    free(output->input_handles);
    free(output->name);
    free(output);
    output = nullptr;
}

// Whether the messages would go into the output or an input, as open.
static bool messages_would_reach_a_file(const Output &output)
{
    bool reaches = standard_output_leads_to(output.identity);
    for (int i = 0; i < output.input_count && !reaches; i++) {
        FileIdentity input;
        reaches = identify_handle(output.input_handles[i], input) == 0 && standard_output_leads_to(input);
    }
    return reaches;
}

// The inputs are opened first, so that a refused output's message is kept
// out of an input as well. In create mode the handler is held off from
// before the file may be made until it is emptied and guarded, so that no
// Ctrl-C in between leaves it.
Output *open_output(const char *name, bool update, char **inputs, int input_count, OutputRefusal &refusal,
                    int &refused_input)
{
    // Not new: the static build links no C++ library.
    void *memory = malloc(sizeof(Output));
    Output *output = memory == nullptr ? nullptr : new (memory) Output;
    refusal = OutputRefusal::unusable;
    if (output == nullptr)
        return nullptr;
    bool inputs_open = open_inputs(*output, inputs, input_count) == 0;
    if (inputs_open && !update)
        claim_for_the_run();
    if (!inputs_open || open_as_it_is(name, update, *output) != 0) {
        if (messages_would_reach_a_file(*output))
            refusal = put_null_device_on(1) == 0 ? OutputRefusal::unusable : OutputRefusal::unprintable;
        release(output, true);
        return nullptr;
    }
    refused_input = input_that_is_the_output(*output);
    if (refused_input >= 0)
        refusal = OutputRefusal::input_is_output;
    else if (messages_would_reach_a_file(*output) && put_null_device_on(1) != 0)
        refusal = OutputRefusal::unprintable;
    else if (update || empty_and_guard(*output) == 0) {
        guard_state.store(output->emptied ? GUARDED : UNGUARDED);
        return output;
    }
    release(output, true);
    return nullptr;
}

int read_output(Output &output, unsigned char *image, size_t size)
{
    if (fread(image, 1, size, output.stream) != size)
        return 1;
    fseek(output.stream, 0, SEEK_SET);
    return 0;
}

// Read through the open that open_output made, or, where that failed, one
// made now. A folder opens too, as on POSIX systems, and then fails at its
// first read like any input that cannot be read. Catches an input that did
// not exist before the output was opened.
FILE *open_input(Output &output, int index, bool &is_the_output_file)
{
    HANDLE handle = output.input_handles[index];
    output.input_handles[index] = INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE)
        handle = open_by_name(wide(output.inputs[index]).c_str(), GENERIC_READ);
    is_the_output_file = is_the_output(output, handle);
    if (is_the_output_file)
        CloseHandle(handle);
    return is_the_output_file ? nullptr : stream_of(handle, _O_RDONLY | _O_BINARY, "rb");
}

int write_output(Output *&output, const unsigned char *image, size_t size)
{
    bool written = fwrite(image, 1, size, output->stream) == size && fflush(output->stream) == 0;
    // The handler closes the stream's handle itself: the close is the run's.
    claim_for_the_run();
    bool closed = fclose(output->stream) == 0;
    output->stream = nullptr;
    if (!written || !closed)
        return 1;
    release(output, false);
    return 0;
}

void discard_output(Output *&output)
{
    if (output != nullptr)
        release(output, true);
}

// Whether a console event ends the run: a log-off or shut-down reaches only
// services.
static bool ends_the_run(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT;
}

// An interrupted run leaves no partial image, then ends with the status by
// which cmd.exe and PowerShell know an interrupted program, as the console's
// default handler does, but without the C library's and the loader's exit
// work: that work takes locks that the main thread, stopped wherever it was,
// may hold, and would wait for ever. The run's own work on the output, if
// under way, is finished first. The output is gone before the process ends,
// not only when the system closes its handles afterwards: the main thread is
// stopped (GetThreadContext returns once it has), and the handler closes
// every handle to the file itself. The open comes before the stop, as it may
// take a lock that the stopped thread holds.
static BOOL WINAPI on_console_control(DWORD event)
{
    if (!ends_the_run(event))
        return FALSE;
    for (int state = GUARDED;; state = GUARDED) {
        if (guard_state.compare_exchange_strong(state, CLAIMED_BY_INTERRUPT)) {
            bool deletable;
            HANDLE handle = open_to_delete(guarded.name, deletable);
            CONTEXT stopped_at;
            stopped_at.ContextFlags = CONTEXT_CONTROL;
            SuspendThread(guarded.main_thread);
            GetThreadContext(guarded.main_thread, &stopped_at);
            discard(handle, deletable, guarded.identity, guarded.held);
            CloseHandle(guarded.held);
            CloseHandle(guarded.stream);
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
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &guarded.main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(on_console_control, TRUE);
}
