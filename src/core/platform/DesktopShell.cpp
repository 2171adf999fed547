#include "core/platform/DesktopShell.h"

#include "core/util/SystemPath.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw {

namespace {

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

[[noreturn]] void failChild(int reportFd) {
    const int error = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

} // namespace

std::string findInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        std::string candidate = end > start ? dirs.substr(start, end - start) : std::string(".");
        candidate += '/';
        candidate += name;
        if (isExecutableFile(candidate)) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

bool spawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& workingFolder) {
    if (program.empty() || args.empty()) {
        return false;
    }
    // The child changes folder before exec, so a relative program path is fixed here.
    std::string path = program;
    if (path[0] != '/') {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd)) {
            return false;
        }
        path = std::string(cwd) + "/" + path;
    }
    // Everything the child needs is prepared here: after fork only async-signal-safe calls.
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const char* folder = workingFolder.empty() ? nullptr : workingFolder.c_str();

    // The exec failure travels back through this pipe; its closing on exec means success.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        ::close(report[0]);
        // The intermediate child ends at once, so the program is adopted by init (or the
        // session's subreaper) and never becomes our zombie.
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            failChild(report[1]);
        }
        if (grandchild > 0) {
            ::_exit(0);
        }
        ::setsid();
        sigset_t all;
        ::sigemptyset(&all);
        ::sigprocmask(SIG_SETMASK, &all, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (folder && ::chdir(folder) != 0) {
            failChild(report[1]);
        }
        ::execv(path.c_str(), argv.data());
        failChild(report[1]);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    return got == 0;
}

bool DesktopShell::open(const std::string& target, const std::string& workingFolder) {
    if (target.empty()) {
        return false;
    }
    const std::string program = findInPath("xdg-open");
    if (program.empty()) {
        return false;
    }
    if (workingFolder.empty()) {
        return spawnDetached(program, {"xdg-open", systemPath(target)}, {});
    }
    // A relative name is looked up where it is opened, in the working folder: only there is a
    // file an earlier version wrote under its 932 bytes found. Each part's name on disk depends
    // only on the parts before it, so the folder's own name on disk heads the joined one.
    const std::string folder = systemPath(workingFolder);
    std::string document;
    if (target.front() == '/') {
        document = systemPath(target);
    } else {
        const bool slash = workingFolder.back() == '/';
        const std::string joined = systemPath(workingFolder + (slash ? "" : "/") + target);
        document = joined.substr(folder.size() + (slash ? 0 : 1));
    }
    return spawnDetached(program, {"xdg-open", document}, folder);
}

bool DesktopShell::launch(const std::string& executable, const std::vector<std::string>& args,
                          const std::string& workingFolder) {
    if (executable.empty()) {
        return false;
    }
    const std::string folder = workingFolder.empty() ? std::string() : systemPath(workingFolder);
    const std::string name = systemPath(executable);
    std::string program;
    if (name.find('/') != std::string::npos) {
        const std::string full = name[0] != '/' && !folder.empty() ? folder + "/" + name : name;
        program = isExecutableFile(full) ? full : std::string();
    } else if (!folder.empty() && isExecutableFile(folder + "/" + name)) {
        program = folder + "/" + name;
    } else {
        program = findInPath(name);
    }
    if (program.empty()) {
        return false;
    }
    std::vector<std::string> argv{name};
    for (const std::string& arg : args) {
        argv.push_back(systemPath(arg));
    }
    return spawnDetached(program, argv, folder);
}

} // namespace tw
