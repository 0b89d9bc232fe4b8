// system.h over POSIX: posix_spawn with the streams opened or joined to pipes by its file
// actions, a FIFO made with mkfifo, open/read/lseek for the reader.
#include "system.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

extern char** environ;

namespace ziv {

namespace {

// Writes all of p[0, n) to fd; false on an error (the reader gone included).
bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Copies fd `from` to its end into fd `to` (-1: the bytes are dropped) or, where p is given and
// has a `take`, hands them to it; false on an error.
bool copy_fd(int from, int to, const Program* p = nullptr) {
    char buf[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t r = ::read(from, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return ok && r == 0;
        if (p && p->take) p->take(p->take_ctx, reinterpret_cast<const uint8_t*>(buf), size_t(r));
        else if (to >= 0 && ok) ok = write_all(to, buf, size_t(r));
    }
}

// The whole of a file (empty where it cannot be read).
std::vector<char> file_bytes(const std::string& path) {
    std::vector<char> b;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return b;
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    return b;
}

}  // namespace

int run_program(const Program& p) {
    if (p.args.empty()) return -1;
    // A pipe whose reader went away fails the write instead of ending the test program; the
    // program itself starts with the default action.
    static const bool ignored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignored;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
    bool ok = true;
    if (p.pipe_in) {
        ok = ::pipe2(in_pipe, O_CLOEXEC) == 0;
        if (ok) posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, p.in.empty() ? "/dev/null" : p.in.c_str(),
                                         O_RDONLY, 0);
    }
    if (ok && p.pipe_out) {
        ok = ::pipe2(out_pipe, O_CLOEXEC) == 0;
        if (ok) posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, p.out.empty() ? "/dev/null" : p.out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&fa, 2, p.err.empty() ? "/dev/null" : p.err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t def;
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& a : p.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (ok && posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    // The program's ends of the pipes are its own now.
    for (int fd : {in_pipe[0], out_pipe[1]})
        if (fd >= 0) ::close(fd);
    std::thread feed, drain;
    if (pid > 0 && p.pipe_in) {
        feed = std::thread([&p, fd = in_pipe[1]] {
            const std::vector<char> bytes = p.in.empty() ? std::vector<char>() : file_bytes(p.in);
            write_all(fd, bytes.data(), bytes.size());
            ::close(fd);
        });
        in_pipe[1] = -1;
    }
    if (pid > 0 && p.pipe_out) {
        drain = std::thread([&p, fd = out_pipe[0]] {
            const int to = p.out.empty() || p.take
                               ? -1
                               : ::open(p.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            copy_fd(fd, to, &p);
            if (to >= 0) ::close(to);
            ::close(fd);
        });
        out_pipe[0] = -1;
    }
    for (int fd : {in_pipe[1], out_pipe[0]})
        if (fd >= 0) ::close(fd);
    int status = -1;
    if (pid > 0) {
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    if (feed.joinable()) feed.join();
    if (drain.joinable()) drain.join();
    return status;
}

struct PipeSink::State {
    std::thread copier;
    std::atomic<bool> opened{false};
    bool copied = false;
};

PipeSink::PipeSink() = default;
PipeSink::~PipeSink() {
    if (state_) finish();
}

bool PipeSink::open(const std::string& name, const std::string& dest) {
    static int count = 0;
    const size_t slash = dest.rfind('/');
    path_ = (slash == std::string::npos ? std::string(".") : dest.substr(0, slash)) + "/fifo-" +
            std::to_string(++count) + "-" + name;
    ::unlink(path_.c_str());
    if (::mkfifo(path_.c_str(), 0600) != 0) return false;
    state_ = std::make_unique<State>();
    State* s = state_.get();
    s->copier = std::thread([s, path = path_, dest] {
        // Waits here for the writer.
        const int fd = ::open(path.c_str(), O_RDONLY);
        s->opened = true;
        if (fd < 0) return;
        const int to = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        s->copied = to >= 0 && copy_fd(fd, to);
        if (to >= 0) ::close(to);
        ::close(fd);
    });
    return true;
}

bool PipeSink::finish() {
    if (!state_) return false;
    State* s = state_.get();
    // No writer came: one of ours ends the copier's wait (it reads nothing).
    while (!s->opened) {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s->copier.join();
    const bool copied = s->copied;
    state_.reset();
    ::unlink(path_.c_str());
    return copied;
}

struct SystemFile {
    int fd;
};

SystemFile* system_file_open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? nullptr : new SystemFile{fd};
}

void system_file_close(SystemFile* f) {
    if (!f) return;
    ::close(f->fd);
    delete f;
}

namespace {

static_assert(sizeof(off_t) == 8, "64-bit file offsets");

int64_t file_read(void* ctx, void* buf, size_t n) {
    for (;;) {
        const ssize_t k = ::read(static_cast<SystemFile*>(ctx)->fd, buf, n);
        if (k >= 0 || errno != EINTR) return k;
    }
}

int32_t file_seek(void* ctx, int64_t offset) {
    const int fd = static_cast<SystemFile*>(ctx)->fd;
    return ::lseek(fd, off_t(offset), SEEK_SET) == off_t(offset) ? 0 : -1;
}

int64_t file_size(void* ctx) {
    struct stat st;
    return ::fstat(static_cast<SystemFile*>(ctx)->fd, &st) == 0 ? int64_t(st.st_size) : -1;
}

}  // namespace

const MpegReader kSystemFileReader = {file_read, file_seek, file_size};

}  // namespace ziv
