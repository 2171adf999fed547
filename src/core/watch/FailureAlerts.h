#pragma once

#include <map>
#include <mutex>
#include <string>

namespace tw {

/// Counts each item's failed checks in a row and says when to tell the user: once when the
/// count reaches the threshold, once more when a check succeeds after that, and nothing for
/// the checks between. The count survives a restart: an item that is failing has a small file
/// <data folder>/failures/<key>, where the key is that of its history (the name of its stored
/// copy); an item whose checks succeed has none. Safe to use from several threads.
class FailureAlerts {
public:
    enum class Alert { None, Failing, Recovered };

    explicit FailureAlerts(std::string dataFolder);

    /// Takes the outcome of one check of the item `key`. `threshold` is the number of failures
    /// in a row that is told (0: nothing is told nor counted). A count that cannot be written
    /// (a full disk) is kept for this run.
    Alert record(const std::string& key, bool failed, int threshold);
    /// The failures in a row counted for `key`.
    int failures(const std::string& key);
    /// Forgets the item (it was deleted).
    void remove(const std::string& key);
    /// The item's stored copy got a new name: its count follows.
    void rename(const std::string& from, const std::string& to);

    std::string folder() const;

private:
    struct State {
        int failures = 0;
        bool alerted = false;
    };

    State& stateOf(const std::string& key);
    void write(const std::string& key, const State& state);
    std::string pathOf(const std::string& key) const;

    std::string m_dataFolder;
    std::mutex m_mutex;
    /// What each item's file holds, read at the item's first check in this run.
    std::map<std::string, State> m_states;
};

} // namespace tw
