// What the tests ask of the operating system, over its own calls: system_posix.cpp (posix_spawn,
// pipes, FIFOs, open/read/lseek) or system_win.cpp (CreateProcessW, anonymous and named pipes,
// CreateFileW/ReadFile/SetFilePointerEx); the build compiles the one for its target. A program
// is started with its arguments as they are (no shell between), so the same test runs a program
// the same way on every system. Names and arguments are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mpeg_core.h"

namespace ziv {

// One run of a program: args[0] is its path. Each standard stream comes from or goes to a file
// (in empty: no input; out or err empty: dropped). With pipe_in the input reaches the program
// through a pipe that the test fills from the file, with pipe_out its output through a pipe that
// the test empties into the file, or hands to `take` as it comes where that is set (output of any
// length, none of it kept on disk), so that the program sees a pipe, not a file.
struct Program {
    std::vector<std::string> args;
    std::string in, out, err;
    bool pipe_in = false;
    bool pipe_out = false;
    void (*take)(void* ctx, const uint8_t* bytes, size_t n) = nullptr;
    void* take_ctx = nullptr;
};

// Runs the program to its end: its exit status (128 + the signal where one ended it), or -1
// when it could not be started.
int run_program(const Program& p);

// A named pipe that a program opens by its name and writes into, whose bytes the test copies
// into a file as they come: a FIFO beside that file, or under \\.\pipe\ on Windows. Its name
// ends in `name`, so that a program reads its extension. Only one program opens it.
class PipeSink {
public:
    PipeSink();
    ~PipeSink();
    PipeSink(const PipeSink&) = delete;
    PipeSink& operator=(const PipeSink&) = delete;
    // Makes the pipe and starts copying from it into `dest`: false when it cannot be made.
    bool open(const std::string& name, const std::string& dest);
    const std::string& path() const { return path_; }
    // After the writer's end: waits for the copy to end (ending the wait for a writer where none
    // came) and removes the pipe. True when every byte written reached `dest`.
    bool finish();

    struct State;

private:
    std::string path_;
    std::unique_ptr<State> state_;
};

// A file read through the system's own calls with 64-bit offsets, for the core's reader
// (mpeg_core_set_reader(c, &kSystemFileReader, file)).
struct SystemFile;
// Opens `path` for reading: null when it cannot be opened.
SystemFile* system_file_open(const std::string& path);
void system_file_close(SystemFile* f);
extern const MpegReader kSystemFileReader;

}  // namespace ziv
