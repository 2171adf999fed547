#pragma once

#include <string>

namespace tw {

/// A shared library opened at run time rather than linked: for libraries whose loading costs
/// memory (their own dependencies, their initialisers) that the program does not need until a
/// feature is first used. The library stays loaded for the rest of the process: libraries such
/// as libcurl register handlers that must not outlive their code.
class SharedLibrary {
public:
    /// Opens the library by its versioned file name ("libcurl.so.4"), binding every symbol now
    /// so that a missing one fails here rather than at a call.
    explicit SharedLibrary(const char* soname);
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool isOpen() const { return m_handle != nullptr; }
    /// Why opening or the last symbol() failed (the dynamic loader's text); empty when neither did.
    const std::string& error() const { return m_error; }

    /// The symbol's address as a pointer of type `Function`; null (and error() set) when the
    /// library is not open or lacks it.
    template <typename Function>
    Function symbol(const char* name) {
        return reinterpret_cast<Function>(address(name));
    }

private:
    void* address(const char* name);

    void* m_handle = nullptr;
    std::string m_error;
};

} // namespace tw
