#pragma once

#include "core/platform/Desktop.h"

namespace tw {

/// The Shell of a Linux desktop: documents and addresses open with xdg-open, executables are
/// started directly. Both start the program detached in its own session and return as soon as
/// it runs; no child is left behind as a zombie.
class DesktopShell : public Shell {
public:
    bool open(const std::string& target, const std::string& workingFolder) override;
    /// A bare name is looked up in `workingFolder`, then in PATH; a relative path is taken
    /// relative to `workingFolder`.
    bool launch(const std::string& executable, const std::vector<std::string>& args,
                const std::string& workingFolder) override;
};

/// Starts `program` (a path) with `args` (args[0] included) detached, in `workingFolder` when
/// not empty. True when the program was executed; false when it could not be found or run.
bool spawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& workingFolder);

/// The executable `name` found in PATH, or "".
std::string findInPath(const std::string& name);

} // namespace tw
