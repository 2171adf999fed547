#pragma once

// What several benchmarks share: a folder of generated files, and the peak memory of work done
// in a child process (so that one measurement's high-water mark never hides the next).

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace tw::bench {

/// A fresh folder under the temporary folder, removed with everything in it at exit.
class BenchFolder {
public:
    BenchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tw-bench-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~BenchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;

    std::string path(const char* name) const { return (m_path / name).string(); }
    /// A subfolder, created.
    std::string folder(const char* name) const {
        const std::filesystem::path path = m_path / name;
        std::filesystem::create_directories(path);
        return path.string();
    }

private:
    std::filesystem::path m_path;
};

/// The one folder of a benchmark program.
inline BenchFolder& benchFolder() {
    static BenchFolder instance;
    return instance;
}

/// Runs `work` in a child process; the child's peak resident size in MiB, or -1 when the work
/// failed.
inline double childPeakMiB(const std::function<bool()>& work) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace tw::bench
