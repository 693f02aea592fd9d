#include "tests/support/PrivateCupsd.h"

#include "tests/support/TestEnvironment.h"

#include <cups/cups.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kCupsd = "/usr/sbin/cupsd";

// Starts a program with its output in a file (or /dev/null); -1 on failure.
pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Exit status of a child, waiting at most `limit`; -1 when it did not end.
int waitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 || std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(10ms);
    }
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

// The daemon drops to user lp for backends, which must reach the spool and
// temporary directories through the root.
void handTo(const fs::path& path, uid_t uid, gid_t gid, mode_t mode) {
    if (::geteuid() == 0)
        (void)::chown(path.c_str(), uid, gid);
    ::chmod(path.c_str(), mode);
}

}  // namespace

PrivateCupsd::~PrivateCupsd() {
    stop();
}

void PrivateCupsd::fail(std::string reason) {
    failure_ = std::move(reason);
    const std::string tail = logTail();
    if (!tail.empty())
        failure_ += "\n--- error_log ---\n" + tail;
}

std::string PrivateCupsd::logTail() const {
    if (root_.empty())
        return {};
    std::string log = readFile(root_ / "log" / "error_log");
    if (log.size() > 2000)
        log.erase(0, log.size() - 2000);
    return log;
}

bool PrivateCupsd::start() {
    if (running())
        return true;
    failure_.clear();
    if (::access(kCupsd, X_OK) != 0) {
        failure_ = std::string("no CUPS scheduler to run (") + kCupsd + " is missing)";
        return false;
    }
    const bool root = ::geteuid() == 0;
    const passwd* lpUser = root ? ::getpwnam("lp") : nullptr;
    const group* lpGroup = root ? ::getgrnam("lp") : nullptr;
    if (root && (!lpUser || !lpGroup)) {
        failure_ = "the CUPS scheduler runs its backends as user and group lp, which do not exist";
        return false;
    }

    std::string pattern = (fs::temp_directory_path() / "fwprog-cupsd-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        failure_ = "cannot create a temporary directory for the CUPS scheduler";
        return false;
    }
    root_ = pattern;
    const uid_t lpUid = lpUser ? lpUser->pw_uid : ::getuid();
    const gid_t lpGid = lpGroup ? lpGroup->gr_gid : ::getgid();
    ::chmod(root_.c_str(), 0755);
    for (const char* dir : {"etc", "spool", "spool/tmp", "cache", "state", "log", "run"})
        fs::create_directories(root_ / dir);
    handTo(root_ / "etc", ::geteuid(), lpGid, 0755);
    handTo(root_ / "spool", ::geteuid(), lpGid, 0710);
    handTo(root_ / "spool" / "tmp", ::geteuid(), lpGid, 01770);
    handTo(root_ / "cache", ::geteuid(), lpGid, 0770);
    handTo(root_ / "state", ::geteuid(), lpGid, 0755);
    handTo(root_ / "log", ::geteuid(), lpGid, 0755);
    handTo(root_ / "run", ::geteuid(), lpGid, 0755);
    (void)lpUid;

    port_ = freeTcpPort();
    const std::string r = root_.string();
    std::ostringstream files;
    files << "ServerRoot " << r << "/etc\n"
          << "RequestRoot " << r << "/spool\n"
          << "TempDir " << r << "/spool/tmp\n"
          << "CacheDir " << r << "/cache\n"
          << "StateDir " << r << "/state\n"
          << "AccessLog " << r << "/log/access_log\n"
          << "ErrorLog " << r << "/log/error_log\n"
          << "PageLog " << r << "/log/page_log\n"
          << "FileDevice Yes\n";
    if (root)
        files << "User lp\nGroup lp\nSystemGroup root\n";
    writeText(root_ / "etc" / "cups-files.conf", files.str());

    std::ostringstream conf;
    conf << "LogLevel warn\n"
         << "Listen 127.0.0.1:" << port_ << "\n"
         << "Listen " << socketPath() << "\n"
         << "Browsing No\n"
         << "BrowseLocalProtocols none\n"
         << "WebInterface No\n"
         << "DefaultAuthType None\n"
         << "HostNameLookups Off\n"
         << "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
         << "<Policy default>\n  <Limit All>\n    Order allow,deny\n    Allow all\n"
         << "  </Limit>\n</Policy>\n";
    writeText(root_ / "etc" / "cupsd.conf", conf.str());

    pid_ = spawn({kCupsd, "-f", "-c", r + "/etc/cupsd.conf", "-s", r + "/etc/cups-files.conf"},
                 r + "/log/cupsd.out");
    if (pid_ <= 0) {
        pid_ = -1;
        fail("cannot start " + std::string(kCupsd));
        stop();
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            fail("the CUPS scheduler exited at start-up: " + readFile(root_ / "log" / "cupsd.out"));
            stop();
            return false;
        }
        // lpstat exits with 0 either way; only its words tell.
        std::string answer;
        if (runClient({"/usr/bin/lpstat", "-h", socketPath(), "-r"}, &answer) == 0 &&
            answer.find("scheduler is running") != std::string::npos)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            fail("the CUPS scheduler did not answer within 10 s");
            stop();
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }

    if (const char* previous = std::getenv("CUPS_SERVER"))
        savedServer_ = previous;
    ::setenv("CUPS_SERVER", socketPath().c_str(), 1);
    serverSet_ = true;
    useFromThisThread();
    return true;
}

void PrivateCupsd::useFromThisThread() const {
    cupsSetServer(socketPath().c_str());
}

void PrivateCupsd::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (waitExit(pid_, 5s) < 0) {
            ::kill(pid_, SIGKILL);
            waitExit(pid_, 5s);
        }
        pid_ = -1;
    }
    if (serverSet_) {
        if (savedServer_)
            ::setenv("CUPS_SERVER", savedServer_->c_str(), 1);
        else
            ::unsetenv("CUPS_SERVER");
        cupsSetServer(nullptr);
        serverSet_ = false;
        savedServer_.reset();
    }
    if (!root_.empty()) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        root_.clear();
    }
}

int PrivateCupsd::runClient(const std::vector<std::string>& argv, std::string* output) {
    const std::string outPath =
        output && !root_.empty() ? (root_ / "log" / "client.out").string() : "/dev/null";
    const pid_t pid = spawn(argv, outPath);
    if (pid <= 0)
        return -1;
    int status = waitExit(pid, 30s);
    if (status < 0) {
        ::kill(pid, SIGKILL);
        waitExit(pid, 5s);
    }
    if (output && outPath != "/dev/null")
        *output = readFile(outPath);
    return status;
}

bool PrivateCupsd::addQueue(const std::string& name, const std::string& deviceUri,
                            const std::string& driver, const std::vector<std::string>& defaults) {
    if (!running()) {
        failure_ = "the CUPS scheduler is not running";
        return false;
    }
    std::vector<std::string> argv = {"/usr/sbin/lpadmin",
                                     "-h",
                                     socketPath(),
                                     "-p",
                                     name,
                                     "-v",
                                     deviceUri,
                                     "-E",
                                     "-o",
                                     "printer-error-policy=abort-job"};
    if (!driver.empty())
        argv.insert(argv.end(), {"-m", driver});
    for (const std::string& option : defaults)
        argv.insert(argv.end(), {"-o", option});
    std::string output;
    const int status = runClient(argv, &output);
    if (status != 0) {
        fail("lpadmin could not add queue " + name + ": " + output);
        return false;
    }
    return true;
}

bool PrivateCupsd::addSocketQueue(const std::string& name, const std::string& address,
                                  std::uint16_t port, const std::vector<std::string>& defaults) {
    return addQueue(name, "socket://" + address + ":" + std::to_string(port) + "/?contimeout=3", {},
                    defaults);
}

bool PrivateCupsd::addFileQueue(const std::string& name, const std::string& path) {
    return addQueue(name, "file:" + path);
}

bool PrivateCupsd::removeQueue(const std::string& name) {
    std::string output;
    if (runClient({"/usr/sbin/lpadmin", "-h", socketPath(), "-x", name}, &output) != 0) {
        fail("lpadmin could not remove queue " + name + ": " + output);
        return false;
    }
    return true;
}

bool PrivateCupsd::setAccepting(const std::string& name, bool accepting) {
    const std::string program = accepting ? "/usr/sbin/cupsaccept" : "/usr/sbin/cupsreject";
    std::string output;
    if (runClient({program, "-h", socketPath(), name}, &output) != 0) {
        fail(program + " failed for queue " + name + ": " + output);
        return false;
    }
    return true;
}

bool PrivateCupsd::setEnabled(const std::string& name, bool enabled) {
    const std::string program = enabled ? "/usr/sbin/cupsenable" : "/usr/sbin/cupsdisable";
    std::string output;
    if (runClient({program, "-h", socketPath(), name}, &output) != 0) {
        fail(program + " failed for queue " + name + ": " + output);
        return false;
    }
    return true;
}

std::optional<std::vector<int>> PrivateCupsd::jobIds(const std::string& queue,
                                                     const std::string& which) {
    std::string output;
    if (runClient({"/usr/bin/lpstat", "-h", socketPath(), "-W", which, "-o", queue}, &output) != 0)
        return std::nullopt;
    // Lines read "QUEUE-ID user size date".
    std::vector<int> ids;
    std::istringstream lines(output);
    std::string line;
    const std::string prefix = queue + "-";
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        ids.push_back(std::atoi(line.c_str() + prefix.size()));
    }
    return ids;
}

}  // namespace testing_support
