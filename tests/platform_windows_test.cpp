// The Windows platform module where the tool under wine cannot reach it: the
// console events that end a run (wine turns only SIGINT into one), names that
// wine cannot hold, and the removal of an output that the run still holds
// open. Built by the Windows build, run under wine; no GoogleTest there, so
// plain checks.
#include "../src/output.cpp"
#include "../src/platform_windows.cpp"

#include <initializer_list>

namespace {

int failures = 0;

void check(bool passed, const char *what)
{
    if (!passed) {
        printf("FAILED: %s\n", what);
        failures++;
    }
}

bool file_exists(const char *name)
{
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int main()
{
    struct Row {
        DWORD event;
        bool ends_run;
        const char *name;
    };
    for (const Row &row : {Row{CTRL_C_EVENT, true, "Ctrl-C"}, Row{CTRL_BREAK_EVENT, true, "Ctrl-Break"},
                           Row{CTRL_CLOSE_EVENT, true, "closing the console window"},
                           Row{CTRL_LOGOFF_EVENT, false, "a log-off, which only services see"}})
        check(ends_the_run(row.event) == row.ends_run, row.name);
    // FALSE passes an event that does not end the run on to the next handler.
    check(!on_console_control(CTRL_LOGOFF_EVENT), "a log-off is passed on");

    // Names are UTF-8 inside the tool, so that they print as given; a UTF-16
    // surrogate without its partner, which UTF-8 cannot express, is kept as
    // well, and every name comes back exactly. What is not in that form
    // names no file at all.
    const wchar_t every_kind[] = L"\x7F\x80\x7FF\x800\xFFFF\xD800\xDC00\xD83D\xDE00\xDBFF\xDFFF";
    const wchar_t unpaired[] = L"\xD800 \xDBFF \xDC00 \xDFFF \xDC00\xD800 \xDC00\xDC00 \xD800\xE000 \xD7FF\xDC00.bin";
    char *utf8 = narrow(every_kind), *wtf8 = narrow(unpaired);
    check(strcmp(utf8, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"
                       "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF") == 0,
          "names are UTF-8");
    check(wide(utf8) == every_kind && wide(wtf8) == unpaired, "every UTF-16 name comes back as it was");
    free(utf8);
    free(wtf8);
    for (const char *not_wtf8 :
         {"\xE9t\xE9", "\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF8"})
        check(wide(not_wtf8).empty(), "a name in another code page or form is refused");

    // What an earlier run of this test, stopped half-way, may have left.
    SetFileAttributesA("locked.bin", FILE_ATTRIBUTE_NORMAL);
    DeleteFileA("locked.bin");
    DeleteFileA("held.bin");
    DeleteFileA("moved.bin");
    DeleteFileA("away.bin");

    // Another program holding the output keeps it past the removal: it is
    // empty by then.
    OutputRefusal refusal;
    int refused_input;
    Output *held = open_output("held.bin", false, nullptr, 0, refusal, refused_input);
    check(held != nullptr && held->state == OutputState::guarded, "output created and guarded");
    if (held != nullptr) {
        fputs("partial image", held->stream);
        fflush(held->stream);
    }
    HANDLE reader = CreateFileA("held.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    discard_output(held);
    LARGE_INTEGER size = {};
    check(GetFileSizeEx(reader, &size) && size.QuadPart == 0, "a discarded output is emptied");
    CloseHandle(reader);
    check(!file_exists("held.bin"), "a discarded output is removed");

    // Marked read-only while the run holds it, the file may not be deleted:
    // it is emptied through the run's own descriptor instead.
    Output *locked = open_output("locked.bin", false, nullptr, 0, refusal, refused_input);
    check(locked != nullptr, "second output opened");
    if (locked != nullptr) {
        fputs("partial image", locked->stream);
        fclose(locked->stream);
        locked->stream = nullptr;
        SetFileAttributesA("locked.bin", FILE_ATTRIBUTE_READONLY);
        discard_output(locked);
        WIN32_FILE_ATTRIBUTE_DATA data;
        check(GetFileAttributesExA("locked.bin", GetFileExInfoStandard, &data) && data.nFileSizeLow == 0 &&
                  data.nFileSizeHigh == 0,
              "an output that may not be deleted is emptied");
        SetFileAttributesA("locked.bin", FILE_ATTRIBUTE_NORMAL);
        DeleteFileA("locked.bin");
    }

    // Renamed while the run holds it, and another file put in its place:
    // the discard finds another file under the name, and keeps it.
    Output *moved = open_output("moved.bin", false, nullptr, 0, refusal, refused_input);
    check(moved != nullptr && MoveFileA("moved.bin", "away.bin"), "third output opened and renamed");
    FILE *other = fopen("moved.bin", "wb");
    check(other != nullptr && fputs("not the run's", other) >= 0 && fclose(other) == 0, "another file made");
    discard_output(moved);
    check(file_exists("moved.bin"), "a file that took the output's name is kept");
    DeleteFileA("moved.bin");
    DeleteFileA("away.bin");

    Output *null_output = open_output("NUL", false, nullptr, 0, refusal, refused_input);
    check(null_output != nullptr && null_output->state == OutputState::untouched &&
              null_output->guard.identity.kind == FileKind::character_device,
          "NUL opens as a device, never as a regular file");
    discard_output(null_output);

    printf(failures == 0 ? "platform_windows: all checks passed\n" : "platform_windows: %d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
