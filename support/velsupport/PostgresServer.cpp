#include "velsupport/PostgresServer.h"

#include "velsupport/ExitCleanup.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "velsupport/Process.h"
#include "velsupport/RedisServer.h"

namespace velsupport {

namespace fs = std::filesystem;

namespace {

// Who runs initdb and the server: the caller, or the postgres account when the caller is root.
struct Account {
    bool switchTo = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// What a forked child does before it runs its program. Everything is prepared before the fork:
// in the child only async-signal-safe calls are made, since another thread of the caller may
// have held a lock (malloc's, say) at the fork.
struct ChildSetup {
    const Account* account = nullptr;
    bool server = false;  // a session of its own, and death with the starting thread
    int out = -1;         // standard output and error; /dev/null when -1
    int err = -1;
    const char* dir = "/";
};

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The caller's environment without libpq's and the server's PG* variables (a PGSERVICE or a
// PGOPTIONS of whoever runs the tests must not change what they connect to), plus `added`.
std::vector<std::string> ChildEnvironment(std::vector<std::string> added = {}) {
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "PG", 2) != 0) added.emplace_back(*e);
    return added;
}

// Forks and runs `args` (args[0] a full path): the child's id, or -1.
pid_t ForkExec(std::vector<std::string> args, std::vector<std::string> env,
               const ChildSetup& setup) {
    const std::vector<char*> argv = Pointers(args);
    const std::vector<char*> envp = Pointers(env);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) ::sigaction(s, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // A session of its own: a Ctrl-C at the terminal reaches the test process only, and the
    // server goes with it through the parent-death signal.
    if (setup.server) ::setsid();
    const Account* a = setup.account;
    if (a && a->switchTo &&
        (::setgroups(a->groups.size(), a->groups.data()) != 0 || ::setgid(a->gid) != 0 ||
         ::setuid(a->uid) != 0))
        ::_exit(126);
    // After the change of user, which clears it. SIGQUIT: an immediate shutdown, in which the
    // postmaster takes its backends with it.
    if (setup.server && (::prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || ::getppid() != parent))
        ::_exit(126);
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(setup.out >= 0 ? setup.out : null, 1) < 0 ||
        ::dup2(setup.err >= 0 ? setup.err : null, 2) < 0 || ::chdir(setup.dir) != 0)
        ::_exit(126);
    ::close_range(3, ~0U, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

// The state letter of /proc/<pid>/stat, and the parent's id; 0 when there is no such process.
char ProcessState(pid_t pid, pid_t* parent = nullptr) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t name = stat.rfind(')');  // the command's name may hold anything
    if (name == std::string::npos) return 0;
    std::istringstream fields(stat.substr(name + 1));
    char state = 0;
    long ppid = 0;
    fields >> state >> ppid;
    if (parent) *parent = static_cast<pid_t>(ppid);
    return state;
}

// Kills the postmaster `pid` and its children outright. They must go too: the backends lead
// sessions of their own (no process group holds them all), and a new postmaster will not start
// while one of them still holds the old shared memory. The postmaster is stopped first so that
// it forks no more while its children are listed, then killed and reaped.
void KillServer(pid_t pid) {
    ::kill(pid, SIGSTOP);
    std::vector<pid_t> children;
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ignored)) {
        const pid_t child = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        pid_t parent = 0;
        if (child > 0 && ProcessState(child, &parent) && parent == pid) children.push_back(child);
    }
    for (const pid_t child : children) {
        ::kill(-child, SIGKILL);  // anything it started in its own session
        ::kill(child, SIGKILL);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    // Not ours to reap: gone once dead (a zombie holds no memory).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const pid_t child : children)
        while (ProcessState(child) != 0 && ProcessState(child) != 'Z' &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void AddRunning(pid_t pid, const std::string& dir) {
    StopAtExit(pid, dir, KillServer);
}

void RemoveRunning(pid_t pid) {
    ForgetAtExit(pid);
}

// The bin directory of the newest version installed with initdb and postgres; empty when none.
std::string FindBinDirectory() {
    std::string best;
    double bestVersion = -1;
    std::error_code ignored;
    for (const fs::directory_entry& entry :
         fs::directory_iterator("/usr/lib/postgresql", ignored)) {
        const std::string name = entry.path().filename().string();
        char* end = nullptr;
        const double version = std::strtod(name.c_str(), &end);
        const std::string bin = entry.path().string() + "/bin";
        if (end == name.c_str() || *end != '\0' || version <= bestVersion ||
            ::access((bin + "/initdb").c_str(), X_OK) != 0 ||
            ::access((bin + "/postgres").c_str(), X_OK) != 0)
            continue;
        best = bin;
        bestVersion = version;
    }
    return best;
}

// The psql of the server's version when there is one (the one in /usr/bin may be a wrapper
// script choosing among the installed versions), else the one in /usr/bin or on PATH.
std::string FindPsql(const std::string& binDir) {
    if (!binDir.empty() && ::access((binDir + "/psql").c_str(), X_OK) == 0) return binDir + "/psql";
    if (::access("/usr/bin/psql", X_OK) == 0) return "/usr/bin/psql";
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/psql").c_str(), X_OK) == 0) return dir + "/psql";
    return "";
}

std::string ServerAccount(Account& account) {
    if (::geteuid() != 0) return "";
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r("postgres", &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return "running as root, which PostgreSQL refuses, and there is no postgres user to run "
               "it as";
    account.switchTo = true;
    account.uid = found->pw_uid;
    account.gid = found->pw_gid;
    int count = 64;
    account.groups.resize(static_cast<size_t>(count));
    if (::getgrouplist("postgres", account.gid, account.groups.data(), &count) < 0) {
        account.groups.resize(static_cast<size_t>(count));
        ::getgrouplist("postgres", account.gid, account.groups.data(), &count);
    }
    account.groups.resize(static_cast<size_t>(count));
    return "";
}

// Waits for the child `pid` that runs to its end within `limit`: whether it exited with 0.
bool Succeeded(pid_t pid, std::chrono::milliseconds limit) {
    if (pid <= 0) return false;
    const int code = WaitProcess(pid, limit);
    if (code == -2) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return code == 0;
}

std::string RandomPassword() {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::string password(24, ' ');
    for (char& c : password) c = kAlphabet[pick(random)];
    return password;
}

// Makes the cluster in `dir`/data, its output in the log: the superuser postgres with
// `password`, trusted on the local socket, by password over TCP (replication included), and the
// configuration of a fast throwaway server listening on `port`, then `extraConfig`.
std::string MakeCluster(const std::string& binDir, const std::string& dir, int port,
                        const std::string& password, const std::string& extraConfig,
                        const ChildSetup& setup) {
    const std::string data = dir + "/data";
    const std::string pwfile = dir + "/password";
    std::ofstream(pwfile) << password << "\n";
    const Account& account = *setup.account;
    if (account.switchTo && ::chown(pwfile.c_str(), account.uid, account.gid) != 0)
        return "cannot give " + pwfile + " to the postgres user";
    bool made = false;
    for (const char* locale : {"C.UTF-8", "C"}) {
        std::error_code ignored;
        fs::remove_all(data, ignored);
        made = Succeeded(
            ForkExec({binDir + "/initdb", "-D", data, "-U", "postgres", "--auth-local=trust",
                      "--auth-host=scram-sha-256", "--pwfile=" + pwfile, "-E", "UTF8",
                      std::string("--locale=") + locale, "-N"},
                     ChildEnvironment(), setup),
            std::chrono::minutes(2));
        if (made) break;
    }
    ::unlink(pwfile.c_str());
    if (!made) return "initdb failed";
    std::ofstream(data + "/postgresql.conf", std::ios::app)
        << "\nlisten_addresses = '127.0.0.1'\nport = " << port << "\nunix_socket_directories = '"
        << dir
        << "'\nwal_level = logical\nmax_replication_slots = 16\nmax_wal_senders = 16"
           "\nfsync = off\nfull_page_writes = off"
           "\nshared_buffers = 32MB\nmax_connections = 60\nlog_min_messages = warning"
           "\nlog_destination = 'stderr'\nlogging_collector = off\n"
        << extraConfig << "\n";
    // initdb's host lines should already be these; added when they are not.
    std::ifstream hbaIn(data + "/pg_hba.conf");
    std::vector<std::string> rules;
    for (std::string line; std::getline(hbaIn, line);) {
        std::istringstream words(line);
        std::string word, rule;
        while (words >> word) rule += (rule.empty() ? "" : " ") + word;
        rules.push_back(rule);
    }
    std::ofstream hba(data + "/pg_hba.conf", std::ios::app);
    for (const char* rule : {"host replication all 127.0.0.1/32 scram-sha-256",
                             "host all all 127.0.0.1/32 scram-sha-256"})
        if (std::find(rules.begin(), rules.end(), rule) == rules.end()) hba << rule << "\n";
    return "";
}

}  // namespace

PostgresServer::PostgresServer(std::string extraConfig)
    : m_extraConfig(std::move(extraConfig)),
      m_password(RandomPassword()),
      m_binDir(FindBinDirectory()),
      m_psql(FindPsql(m_binDir)) {}

PostgresServer::~PostgresServer() {
    Stop();
    std::error_code ignored;
    if (!m_dir.empty()) fs::remove_all(m_dir, ignored);
}

bool PostgresServer::IsInstalled() {
    return !FindBinDirectory().empty();
}

std::string PostgresServer::Start() {
    if (m_pid > 0) return "";
    if (m_binDir.empty()) return kPostgresMissing;
    if (m_psql.empty()) return "psql is not installed; install the postgresql-client package";
    Account account;
    if (std::string error = ServerAccount(account); !error.empty()) return error;
    if (m_port == 0) m_port = FreeLoopbackPort();
    if (m_port == 0) return "no free loopback port for PostgreSQL";
    if (m_dir.empty()) {
        // In /tmp rather than TMPDIR: the postgres account must be able to reach it.
        std::string pattern = "/tmp/velpg.XXXXXX";
        if (!::mkdtemp(pattern.data())) return "cannot make a temporary directory for PostgreSQL";
        m_dir = pattern;
        if (account.switchTo && ::chown(m_dir.c_str(), account.uid, account.gid) != 0)
            return "cannot give " + m_dir + " to the postgres user";
    }
    const std::string logPath = m_dir + "/server.log";
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) return "cannot open " + logPath;
    if (account.switchTo && ::fchown(log, account.uid, account.gid) != 0) {
        ::close(log);
        return "cannot give " + logPath + " to the postgres user";
    }
    ChildSetup setup{&account, false, log, log, m_dir.c_str()};
    const std::string data = m_dir + "/data";
    std::string error;
    if (!fs::exists(data + "/PG_VERSION")) {
        error = MakeCluster(m_binDir, m_dir, m_port, m_password, m_extraConfig, setup);
        std::error_code ignored;
        if (!error.empty()) fs::remove_all(data, ignored);  // the next start tries again
    }
    if (error.empty()) {
        setup.server = true;
        m_pid = ForkExec({m_binDir + "/postgres", "-D", data}, ChildEnvironment(), setup);
        if (m_pid <= 0) error = "cannot start postgres";
    }
    ::close(log);
    if (!error.empty()) {
        m_pid = -1;
        return error + ": " + LogTail();
    }
    AddRunning(m_pid, m_dir);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Sql("SELECT 1", &error) != "1") {
        if (WaitProcess(m_pid, std::chrono::milliseconds(50)) != -2) {
            RemoveRunning(m_pid);
            m_pid = -1;
            return "postgres exited at start on port " + std::to_string(m_port) + ": " + LogTail();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Stop(SIGKILL);
            return "postgres did not answer within 30 s on port " + std::to_string(m_port) + " (" +
                   error + "): " + LogTail();
        }
    }
    return "";
}

void PostgresServer::Stop(int signal) {
    if (m_pid <= 0) return;
    RemoveRunning(m_pid);
    if (signal == SIGKILL || ::kill(m_pid, signal) != 0 ||
        WaitProcess(m_pid, std::chrono::seconds(10)) == -2)
        KillServer(m_pid);
    m_pid = -1;
}

std::string PostgresServer::ConnInfo(const std::string& dbname, const std::string& user) const {
    return "host=127.0.0.1 port=" + std::to_string(m_port) + " user=" + user +
           " password=" + m_password + " dbname=" + dbname;
}

std::string PostgresServer::Sql(const std::string& sql, std::string* error,
                                const std::string& dbname) const {
    if (m_port == 0 || m_psql.empty()) {
        if (error) *error = "the server was never started";
        return "";
    }
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        for (const int fd : {out[0], out[1], err[0], err[1]})
            if (fd >= 0) ::close(fd);
        if (error) *error = "cannot make pipes for psql";
        return "";
    }
    // The password in the environment, not on a command line that ps shows.
    const pid_t pid =
        ForkExec({m_psql, "-X", "-A", "-t", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p",
                  std::to_string(m_port), "-U", "postgres", "-d", dbname, "-c", sql},
                 ChildEnvironment({"PGPASSWORD=" + m_password, "PGCONNECT_TIMEOUT=2"}),
                 {nullptr, false, out[1], err[1], "/"});
    ::close(out[1]);
    ::close(err[1]);
    // Both read as they come: a child blocked on a full pipe would never end.
    std::string text[2];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = 2; pid > 0 && open > 0;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                text[i].append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    for (std::string& t : text)
        if (!t.empty() && t.back() == '\n') t.pop_back();
    if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return text[0];
    if (error) *error = pid > 0 ? text[1] : "cannot start " + m_psql;
    return "";
}

std::string PostgresServer::LogTail() const {
    std::ifstream file(m_dir + "/server.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    std::string tail;
    for (size_t i = lines.size() > 15 ? lines.size() - 15 : 0; i < lines.size(); ++i)
        tail += lines[i] + "\n";
    return tail.empty() ? "(server.log is empty)" : tail;
}

}  // namespace velsupport
