// The Windows platform module where the tool under wine cannot reach it: the
// console events that end a run (wine turns only SIGINT into one), and the
// removal of an output that the run still holds open. Built by the Windows
// build, run under wine; no GoogleTest there, so plain checks.
#include "../src/platform_windows.cpp"

#include <initializer_list>

namespace {

int failures = 0;
int interrupted_by = 0;

void check(bool passed, const char *what)
{
    if (!passed) {
        printf("FAILED: %s\n", what);
        failures++;
    }
}

void record_interrupt(int signal_number)
{
    interrupted_by = signal_number;
}

bool file_exists(const char *name)
{
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int main()
{
    install_interrupt_handler(record_interrupt);
    struct Row {
        DWORD event;
        int signal_number;
        const char *name;
    };
    for (const Row &row : {Row{CTRL_C_EVENT, SIGINT, "Ctrl-C"}, Row{CTRL_BREAK_EVENT, SIGBREAK, "Ctrl-Break"},
                           Row{CTRL_CLOSE_EVENT, SIGTERM, "closing the console window"},
                           Row{CTRL_LOGOFF_EVENT, 0, "a log-off, which only services see"}}) {
        interrupted_by = 0;
        // FALSE passes the event on to the default handler, which ends the
        // process, in case the action ever returns.
        check(!on_console_control(row.event), row.name);
        check(interrupted_by == row.signal_number, row.name);
    }

    FileIdentity identity;
    bool created = false;
    FILE *held = open_output_file("held.bin", false, created);
    check(held != nullptr && created && identify_stream(held, identity) == 0 && identity.regular, "output created");
    if (held != nullptr) {
        fputs("partial image", held);
        fflush(held);
        discard_output("held.bin", identity, -1);
        fclose(held);
    }
    check(!file_exists("held.bin"), "an output still held open is removed once closed");

    // Marked read-only while the run holds it, the file may not be deleted:
    // it is emptied through the run's own descriptor instead.
    FILE *locked = open_output_file("locked.bin", false, created);
    check(locked != nullptr && identify_stream(locked, identity) == 0, "second output created");
    if (locked != nullptr) {
        int own = hold_descriptor(locked);
        fputs("partial image", locked);
        fclose(locked);
        SetFileAttributesA("locked.bin", FILE_ATTRIBUTE_READONLY);
        discard_output("locked.bin", identity, own);
        release_descriptor(own);
        WIN32_FILE_ATTRIBUTE_DATA data;
        check(GetFileAttributesExA("locked.bin", GetFileExInfoStandard, &data) && data.nFileSizeLow == 0 &&
                  data.nFileSizeHigh == 0,
              "an output that may not be deleted is emptied");
        SetFileAttributesA("locked.bin", FILE_ATTRIBUTE_NORMAL);
        DeleteFileA("locked.bin");
    }

    FileIdentity null_device;
    FILE *null_output = open_output_file("NUL", false, created);
    check(null_output != nullptr && !created && identify_stream(null_output, null_device) == 0 &&
              !null_device.regular,
          "NUL opens as a device, never as a regular file");
    if (null_output != nullptr)
        fclose(null_output);

    printf(failures == 0 ? "platform_windows: all checks passed\n" : "platform_windows: %d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
