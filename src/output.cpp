// The output's life, from its open to its end, for every system: every file
// is identified before any of them changes, a file this run made or emptied
// goes again on every failure and interrupt, and an input is never written.
#include <cstdlib>
#include <new>

#include "image_job.h"
#include "platform.h"

// How far the run has gone with the output; each state implies the ones
// before it.
enum class OutputState {
    untouched, // as it was: update mode, or create mode before the guard
    holding,   // interrupts held, as the run may make a file
    made,      // this run made the file, not yet guarded
    guarded,   // made or emptied; an interrupt or a failure removes it
};

struct Output {
    FILE *stream = nullptr;
    Guard guard;
    OutputState state = OutputState::untouched;
    FileIdentity *inputs = nullptr; // what each input was as the output opened
};

// An input that is the output would change under the reader as the image is
// written; a character device (a terminal, /dev/null) reads and writes apart.
static bool input_is_output(const FileIdentity &input, const FileIdentity &output)
{
    return input.kind != FileKind::character_device && shares_bytes(input, output);
}

// On Linux a name that leads through standard output (/dev/stdout) goes
// through /proc, and the silenced standard output keeps leading to the same
// file there; without /proc no name leads through it.
int prepare_standard_handles(int argc, char **argv)
{
    FileIdentity standard_output, name;
    if (open_missing_standard_handles() != 0)
        return 1;
    if (identify_standard_output(standard_output) != 0)
        return 0;
    for (int i = 1; i < argc; i++) {
        identify_name(argv[i], name);
        if (shares_bytes(standard_output, name))
            return silence_standard_output() != 0 ? 1 : 0;
    }
    return 0;
}

// Everything goes; the file only if the run made or emptied it, while its
// place still leads to it (an interrupt meanwhile does the same again).
static void release(Output *&output, bool remove)
{
    Guard &guard = output->guard;
    if (output->stream != nullptr)
        fclose(output->stream);
    const bool known = guard.identity.kind != FileKind::unknown;
    if (remove && output->state >= OutputState::made)
        remove_file(guard.place, known ? &guard.identity : nullptr, guard.emptying_handle);
    if (output->state == OutputState::guarded)
        guard_output(nullptr);
    else if (output->state != OutputState::untouched)
        release_interrupts();
    close_file(guard.emptying_handle);
    close_file(guard.place.folder);
    free(guard.place.name);
    free(output->inputs);
    free(output);
    output = nullptr;
}

// Guards a regular file of create mode, then empties it if this run did not
// make it; interrupts held for a file it made are let through once it is
// guarded. 0, or 1.
static int guard_and_empty(Output &output, FileHandle file)
{
    Guard &guard = output.guard;
    const bool made = output.state == OutputState::made;
    // A device or a FIFO is neither emptied nor removed.
    if (!made && guard.identity.kind != FileKind::regular)
        return 0;
    guard.emptying_handle = reopen(file);
    if (guard.emptying_handle == NO_FILE)
        return 1;
    guard_output(&guard);
    if (made)
        release_interrupts();
    output.state = OutputState::guarded;
    if (made || empty_file(file) == 0)
        return 0;
    // Nothing changed: an existing image stays.
    guard_output(nullptr);
    output.state = OutputState::untouched;
    return 1;
}

Output *open_output(const char *name, bool update, char **inputs, int input_count, OutputRefusal &refusal,
                    int &refused_input)
{
    // Not new: the static build links no C++ library.
    void *memory = malloc(sizeof(Output));
    Output *output = memory == nullptr ? nullptr : new (memory) Output;
    FileHandle file = NO_FILE;
    bool missing = false;
    refusal = OutputRefusal::unusable;
    if (output == nullptr)
        return nullptr;
    Guard &guard = output->guard;
    output->inputs = static_cast<FileIdentity *>(malloc(sizeof(FileIdentity) * static_cast<size_t>(input_count)));
    if (output->inputs == nullptr)
        goto refused;
    for (int i = 0; i < input_count; i++) {
        identify_name(inputs[i], output->inputs[i]);
        // A name that leads nowhere would fail the run at its turn: in create
        // mode, before the output is touched.
        if (!update && output->inputs[i].kind == FileKind::missing) {
            refusal = OutputRefusal::missing_input;
            refused_input = i;
            goto refused;
        }
    }
    if (!update && find_place(name, guard.place) != 0)
        goto refused;
    file = open_as_it_is(name, update, missing);
    if (file == NO_FILE && missing && !update) {
        hold_interrupts();
        output->state = OutputState::holding;
        file = create_new(guard.place);
        if (file != NO_FILE)
            output->state = OutputState::made;
    }
    if (file == NO_FILE || identify(file, guard.identity) != 0)
        goto refused;
    // Removing it later needs its place to lead to it now.
    if (!update && guard.identity.kind == FileKind::regular && !place_leads_to(guard.place, guard.identity))
        goto refused;
    for (int i = 0; i < input_count; i++) {
        if (input_is_output(output->inputs[i], guard.identity)) {
            refusal = OutputRefusal::input_is_output;
            refused_input = i;
            goto refused;
        }
    }
    output->stream = stream_of(file, update ? "r+b" : "wb");
    if (output->stream == nullptr) {
        file = NO_FILE;
        goto refused;
    }
    if (!update && guard_and_empty(*output, file) != 0)
        goto refused;
    return output;

refused:
    if (output->stream == nullptr)
        close_file(file);
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

// Each input is identified again as it is opened: it may have been made or
// renamed into an input's place since the output was opened.
FILE *open_input(const Output &output, const char *name, bool &is_the_output)
{
    FileHandle file = open_for_reading(name);
    FileIdentity identity;
    is_the_output = file != NO_FILE && identify(file, identity) == 0 && input_is_output(identity, output.guard.identity);
    if (file == NO_FILE || is_the_output) {
        close_file(file);
        return nullptr;
    }
    return stream_of(file, "rb");
}

int write_output(Output *&output, const unsigned char *image, size_t size)
{
    // The flush is its own step because not every C library reports a failed
    // flush from fclose().
    bool written = fwrite(image, 1, size, output->stream) == size && fflush(output->stream) == 0;
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
