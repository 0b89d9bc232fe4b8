// system.h over the Windows calls: CreateProcessW with inherited file and pipe handles, a named
// pipe made with CreateNamedPipeW, CreateFileW/ReadFile/SetFilePointerEx for the reader. Names
// are converted from UTF-8 for the wide calls.
#include "system.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace ziv {

namespace {

std::wstring wide(const std::string& s) {
    if (s.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), &w[0], n);
    return w;
}

// One argument quoted as the C runtime's parsing of a command line reads it back: in quotes,
// a quote escaped with a backslash, the backslashes before a quote (or the closing one)
// doubled.
void append_quoted(std::wstring* line, const std::wstring& arg) {
    *line += L'"';
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        line->append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        *line += c;
    }
    line->append(2 * slashes, L'\\');
    *line += L'"';
}

// A handle the program inherits: the file opened for reading or writing (the null device for an
// empty name).
HANDLE inherited_file(const std::string& name, bool write) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    const std::wstring w = name.empty() ? std::wstring(L"NUL") : wide(name);
    return CreateFileW(w.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE plain_file(const std::string& name, bool write) {
    return CreateFileW(wide(name).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool write_all(HANDLE h, const char* p, size_t n) {
    while (n > 0) {
        DWORD w = 0;
        const DWORD chunk = n > (1u << 20) ? (1u << 20) : DWORD(n);
        if (!WriteFile(h, p, chunk, &w, nullptr) || w == 0) return false;
        p += w;
        n -= w;
    }
    return true;
}

// Copies `from` to its end (a pipe's writer gone) into `to` (INVALID_HANDLE_VALUE: dropped) or,
// where p is given and has a `take`, hands the bytes to it; false on an error.
bool copy_handle(HANDLE from, HANDLE to, const Program* p = nullptr) {
    char buf[1 << 16];
    bool ok = true;
    for (;;) {
        DWORD r = 0;
        if (!ReadFile(from, buf, sizeof buf, &r, nullptr)) {
            const DWORD e = GetLastError();
            return ok && (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF ||
                          e == ERROR_PIPE_NOT_CONNECTED);
        }
        if (r == 0) return ok;
        if (p && p->take) p->take(p->take_ctx, reinterpret_cast<const uint8_t*>(buf), r);
        else if (to != INVALID_HANDLE_VALUE && ok) ok = write_all(to, buf, r);
    }
}

void close_handle(HANDLE* h) {
    if (*h && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
    *h = nullptr;
}

}  // namespace

int run_program(const Program& p) {
    if (p.args.empty()) return -1;
    std::wstring line;
    for (const std::string& a : p.args) {
        if (!line.empty()) line += L' ';
        append_quoted(&line, wide(a));
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE in = nullptr, out = nullptr, err = nullptr;  // the program's ends
    HANDLE feed_end = nullptr, drain_end = nullptr;     // ours
    bool ok = true;
    if (p.pipe_in) {
        ok = CreatePipe(&in, &feed_end, &sa, 1 << 16) &&
             SetHandleInformation(feed_end, HANDLE_FLAG_INHERIT, 0);
    } else {
        in = inherited_file(p.in, false);
    }
    if (ok && p.pipe_out) {
        ok = CreatePipe(&drain_end, &out, &sa, 1 << 16) &&
             SetHandleInformation(drain_end, HANDLE_FLAG_INHERIT, 0);
    } else {
        out = inherited_file(p.out, true);
    }
    err = inherited_file(p.err, true);
    ok = ok && in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
         err != INVALID_HANDLE_VALUE;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    const std::wstring app = wide(p.args[0]);
    if (!ok) std::fprintf(stderr, "run_program: no standard streams for %s\n", p.args[0].c_str());
    // Wine on a loaded machine now and then fails to start a program at all: a start that fails
    // is tried again, twice at most, each failure said on stderr. A program that started is
    // never run again.
    for (int attempt = 0; ok; ++attempt) {
        if (CreateProcessW(app.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                           &pi))
            break;
        std::fprintf(stderr, "run_program: %s did not start (error %lu)%s\n", p.args[0].c_str(),
                     static_cast<unsigned long>(GetLastError()), attempt < 2 ? ", again" : "");
        if (attempt == 2) ok = false;
        else Sleep(200);
    }
    // The program's ends are its own now.
    close_handle(&in);
    close_handle(&out);
    close_handle(&err);
    std::thread feed, drain;
    if (ok && p.pipe_in) {
        feed = std::thread([&p, h = feed_end] {
            HANDLE f = p.in.empty() ? INVALID_HANDLE_VALUE : plain_file(p.in, false);
            char buf[1 << 16];
            DWORD r = 0;
            while (f != INVALID_HANDLE_VALUE && ReadFile(f, buf, sizeof buf, &r, nullptr) &&
                   r > 0 && write_all(h, buf, r)) {
            }
            if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
            CloseHandle(h);
        });
        feed_end = nullptr;
    }
    if (ok && p.pipe_out) {
        drain = std::thread([&p, h = drain_end] {
            HANDLE to = p.out.empty() || p.take ? INVALID_HANDLE_VALUE : plain_file(p.out, true);
            copy_handle(h, to, &p);
            if (to != INVALID_HANDLE_VALUE) CloseHandle(to);
            CloseHandle(h);
        });
        drain_end = nullptr;
    }
    close_handle(&feed_end);
    close_handle(&drain_end);
    int status = -1;
    if (ok) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(pi.hProcess, &code)) status = int(code);
        else std::fprintf(stderr, "run_program: no exit status (error %lu)\n",
                          static_cast<unsigned long>(GetLastError()));
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (feed.joinable()) feed.join();
    if (drain.joinable()) drain.join();
    return status;
}

struct PipeSink::State {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    std::thread copier;
    std::atomic<bool> connected{false};
    bool copied = false;
};

PipeSink::PipeSink() = default;
PipeSink::~PipeSink() {
    if (state_) finish();
}

bool PipeSink::open(const std::string& name, const std::string& dest) {
    static int count = 0;
    path_ = "\\\\.\\pipe\\ziv-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++count) + "-" + name;
    state_ = std::make_unique<State>();
    State* s = state_.get();
    // Made before the program starts, so that it finds the pipe by its name.
    s->pipe = CreateNamedPipeW(wide(path_).c_str(), PIPE_ACCESS_INBOUND,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 1 << 16, 0,
                               nullptr);
    if (s->pipe == INVALID_HANDLE_VALUE) {
        state_.reset();
        return false;
    }
    s->copier = std::thread([s, dest] {
        // Waits here for the writer; one that came first is connected already.
        const bool connected = ConnectNamedPipe(s->pipe, nullptr) ||
                               GetLastError() == ERROR_PIPE_CONNECTED ||
                               GetLastError() == ERROR_NO_DATA;
        s->connected = true;
        if (!connected) return;
        HANDLE to = plain_file(dest, true);
        s->copied = to != INVALID_HANDLE_VALUE && copy_handle(s->pipe, to);
        if (to != INVALID_HANDLE_VALUE) CloseHandle(to);
    });
    return true;
}

bool PipeSink::finish() {
    if (!state_) return false;
    State* s = state_.get();
    // No writer came: one of ours ends the copier's wait (it reads nothing).
    if (!s->connected) {
        HANDLE h = CreateFileW(wide(path_).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    s->copier.join();
    CloseHandle(s->pipe);
    const bool copied = s->copied;
    state_.reset();
    return copied;
}

struct SystemFile {
    HANDLE h;
};

SystemFile* system_file_open(const std::string& path) {
    HANDLE h = plain_file(path, false);
    return h == INVALID_HANDLE_VALUE ? nullptr : new SystemFile{h};
}

void system_file_close(SystemFile* f) {
    if (!f) return;
    CloseHandle(f->h);
    delete f;
}

namespace {

int64_t file_read(void* ctx, void* buf, size_t n) {
    DWORD r = 0;
    const DWORD want = n > (1u << 30) ? (1u << 30) : DWORD(n);
    if (!ReadFile(static_cast<SystemFile*>(ctx)->h, buf, want, &r, nullptr)) return -1;
    return int64_t(r);
}

int32_t file_seek(void* ctx, int64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return SetFilePointerEx(static_cast<SystemFile*>(ctx)->h, at, nullptr, FILE_BEGIN) ? 0 : -1;
}

int64_t file_size(void* ctx) {
    LARGE_INTEGER size;
    return GetFileSizeEx(static_cast<SystemFile*>(ctx)->h, &size) ? int64_t(size.QuadPart) : -1;
}

}  // namespace

const MpegReader kSystemFileReader = {file_read, file_seek, file_size};

}  // namespace ziv
