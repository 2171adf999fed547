#pragma once

#include <string>

namespace tw {

/// The desktop's store of secrets (its keyring), for a password that no settings file should
/// hold. Implemented outside the core; the calls come from the front end's thread and wait for
/// the store's answer.
class SecretStore {
public:
    enum class Result {
        Done,       ///< read, written or removed
        NotFound,   ///< the store answered but holds nothing under that name
        Unavailable ///< no store answered (none runs, it is locked, or access was refused)
    };
    virtual ~SecretStore() = default;

    /// The secrets are code page 932 text, as every text the program keeps.
    virtual Result read(const std::string& name, std::string& secret) = 0;
    virtual Result write(const std::string& name, const std::string& secret) = 0;
    virtual Result remove(const std::string& name) = 0;
};

} // namespace tw
