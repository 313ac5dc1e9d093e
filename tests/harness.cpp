#include "tests/harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutSeconds = 60;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (pipe2(fd, O_CLOEXEC) != 0)
            fail("pipe");
    }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    void close_end(int i)
    {
        if (fd[i] >= 0)
            close(fd[i]);
        fd[i] = -1;
    }
};

// A child that stops reading its input (it answered early, or died) must
// not take the whole test binary down with SIGPIPE: the write is made with
// the signal held off, and one it raised is taken back, so EPIPE simply
// says the child stopped reading.  Ignoring it for good would hand SIG_IGN
// on to every program the tests start.
ssize_t write_to_child(int fd, const char* data, std::size_t size)
{
    sigset_t sigpipe, old;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe, &old);
    ssize_t w = write(fd, data, size);
    int saved = errno;
    if (w < 0 && errno == EPIPE && !sigismember(&old, SIGPIPE)) {
        const timespec now{0, 0};
        sigtimedwait(&sigpipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return w;
}

// Feeds `input` to the child and collects its output until both output
// pipes are closed, then reaps it.  A child that outlives the timeout is
// killed.
RunResult collect(pid_t pid, Pipe& in, Pipe& out, Pipe& err, const std::string& input)
{
    RunResult result;
    in.close_end(0);
    out.close_end(1);
    err.close_end(1);
    fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    if (input.empty())
        in.close_end(1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3];
        int n = 0;
        auto watch = [&](int fd, short events) {
            if (fd >= 0)
                fds[n++] = pollfd{fd, events, 0};
        };
        watch(out.fd[0], POLLIN);
        watch(err.fd[0], POLLIN);
        watch(in.fd[1], POLLOUT);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 ||
            poll(fds, static_cast<nfds_t>(n), static_cast<int>(left.count())) == 0) {
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == in.fd[1]) {
                ssize_t w =
                    write_to_child(in.fd[1], input.data() + written, input.size() - written);
                if (w > 0)
                    written += static_cast<std::size_t>(w);
                if (w < 0 || written == input.size())
                    in.close_end(1);
                continue;
            }
            char buf[65536];
            ssize_t r = read(fds[i].fd, buf, sizeof buf);
            bool is_out = fds[i].fd == out.fd[0];
            if (r > 0)
                (is_out ? result.out : result.err).append(buf, static_cast<std::size_t>(r));
            else
                (is_out ? out : err).close_end(0);
        }
    }
    in.close_end(1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Forks a child whose standard streams are the pipes and whose working
// directory is `dir`; 0 in the child, its pid in the parent.
pid_t fork_child(Pipe& in, Pipe& out, Pipe& err, const std::string& dir)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        if (dup2(in.fd[0], 0) < 0 || dup2(out.fd[1], 1) < 0 || dup2(err.fd[1], 2) < 0 ||
            chdir(dir.c_str()) != 0)
            _exit(126);
    }
    return pid;
}

std::vector<std::string> child_environment(const RunOptions& options, const std::string& root)
{
    std::map<std::string, std::string> env;
    env["PATH"] = "/usr/bin:/bin";
    if (options.sandbox_root)
        env["ZEL_ROOT"] = root;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            env[name] = value;
    for (const std::string& entry : options.env) {
        std::size_t eq = entry.find('=');
        env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    std::vector<std::string> list;
    for (const auto& [name, value] : env)
        list.push_back(name + "=" + value);
    return list;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> list;
    for (std::string& s : strings)
        list.push_back(s.data());
    list.push_back(nullptr);
    return list;
}

} // namespace

std::string program_path(std::string_view name)
{
    return std::string(ZEL_BIN_DIR) + "/" + std::string(name);
}

std::string tool_path(std::string_view name)
{
    return std::string(ZEL_TOOLS_DIR) + "/" + std::string(name);
}

std::string source_path(std::string_view relative)
{
    return std::string(ZEL_SOURCE_DIR) + "/" + std::string(relative);
}

bool running_as_root() { return geteuid() == 0; }

namespace {

// Whether a user who is neither owner nor group member may run `path`:
// every directory above it searchable, the file readable and executable.
bool open_to_others(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IROTH | S_IXOTH)) != (S_IROTH | S_IXOTH))
        return false;
    for (fs::path dir = fs::path(path).parent_path(); !dir.empty(); dir = dir.parent_path()) {
        if (stat(dir.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH))
            return false;
        if (dir == dir.root_path())
            break;
    }
    return true;
}

// The copies of reachable(), in a directory of their own.
struct Copies {
    std::string dir;
    std::map<std::string, std::string> made; // program -> its copy
    ~Copies()
    {
        std::error_code ignored;
        if (!dir.empty())
            fs::remove_all(dir, ignored);
    }
};

} // namespace

std::string reachable(const std::string& program)
{
    static Copies copies;
    if (open_to_others(program))
        return program;
    if (auto found = copies.made.find(program); found != copies.made.end())
        return found->second;
    if (copies.dir.empty()) {
        std::string pattern = "/tmp/zel-programs.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            fail("mkdtemp");
        chmod(pattern.c_str(), 0755);
        copies.dir = pattern;
    }
    std::string copy = copies.dir + "/" + std::to_string(copies.made.size()) + "-" +
                       fs::path(program).filename().string();
    fs::copy_file(program, copy);
    chmod(copy.c_str(), 0755);
    copies.made[program] = copy;
    return copy;
}

Sandbox::Sandbox()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zel-sandbox.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        fail("mkdtemp");
    root_ = pattern;
    // Open to all, so that a test may run a program as another user.
    chmod(root_.c_str(), 0755);
    for (const char* dir :
         {"etc/opt/vantrel", "opt/vantrel/etc", "opt/vantrel/lib", "var/opt/vantrel", "tmp", "dev"})
        fs::create_directories(path(dir));
    chmod(path("tmp").c_str(), 01777);
    write(kConfig, default_config());
    write(kUsers, "[admin]\nfull-name = Administrator\nprivileges = admin\n");
    write(kLog, "");
    write("dev/console", "");
}

Sandbox::~Sandbox()
{
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string Sandbox::path(std::string_view relative) const
{
    return root_ + "/" + std::string(relative);
}

std::string Sandbox::default_config() const
{
    return "# The sandbox installation.\n"
           "spool-directory = " +
           root_ +
           "/var/opt/vantrel\n"
           "server-directory = " +
           root_ +
           "/opt/vantrel\n"
           "fax-directory = " +
           root_ +
           "/opt/vantrel\n"
           "zel-directory = " +
           root_ +
           "/opt/vantrel\n"
           "zel-config-directory = " +
           root_ + "/opt/vantrel/etc\n";
}

void Sandbox::configure(std::string_view extra) const
{
    write(kConfig, default_config() + std::string(extra));
}

void Sandbox::write(std::string_view relative, std::string_view bytes, mode_t mode) const
{
    std::string p = path(relative);
    fs::create_directories(fs::path(p).parent_path());
    {
        std::ofstream file(p, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file)
            fail("write " + p);
    }
    chmod(p.c_str(), mode);
}

void Sandbox::link_program(const std::string& program, std::string_view relative) const
{
    std::string at = path(relative);
    if (symlink(reachable(program).c_str(), at.c_str()) != 0)
        fail("symlink " + at);
}

std::string Sandbox::read(std::string_view relative) const
{
    std::ifstream file(path(relative), std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool Sandbox::exists(std::string_view relative) const
{
    struct stat st;
    return lstat(path(relative).c_str(), &st) == 0;
}

void Sandbox::remove(std::string_view relative) const
{
    std::error_code ignored;
    fs::remove_all(path(relative), ignored);
}

RunResult Sandbox::run(const std::string& given, const RunOptions& options) const
{
    const std::string program = options.uid != static_cast<uid_t>(-1) ? reachable(given) : given;
    std::vector<std::string> argv{options.argv0.empty() ? given : options.argv0};
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    std::vector<std::string> env = child_environment(options, root_);
    std::vector<char*> argp = pointers(argv);
    std::vector<char*> envp = pointers(env);

    Pipe in, out, err;
    pid_t pid = fork_child(in, out, err, root_);
    if (pid == 0) {
        if (options.close_stderr)
            close(2);
        rlimit size{options.file_size_limit, options.file_size_limit};
        if (options.file_size_limit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &size) != 0)
            _exit(126);
        if (options.gid != static_cast<gid_t>(-1) && setgid(options.gid) != 0)
            _exit(126);
        if (options.uid != static_cast<uid_t>(-1) && setuid(options.uid) != 0)
            _exit(126);
        execve(program.c_str(), argp.data(), envp.data());
        _exit(127);
    }
    return collect(pid, in, out, err, options.input);
}

RunResult Sandbox::run_forked(const std::function<void()>& body) const
{
    return run_forked_in(root_, body);
}

RunResult run_forked_in(const std::string& dir, const std::function<void()>& body)
{
    Pipe in, out, err;
    pid_t pid = fork_child(in, out, err, dir);
    if (pid == 0) {
        setenv("ZEL_ROOT", dir.c_str(), 1);
        body();
        std::fflush(nullptr);
        _exit(0);
    }
    return collect(pid, in, out, err, "");
}

pid_t endedpid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

struct stat status_of(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

unsigned le16(const std::string& bytes, std::size_t at)
{
    return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

std::uint32_t le32(const std::string& bytes, std::size_t at)
{
    return le16(bytes, at) | static_cast<std::uint32_t>(le16(bytes, at + 2)) << 16;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string shell_output(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

bool have_program(const char* name)
{
    return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}
