#pragma once

#include "core/ports/Prompter.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tw::test {

/// Records every message and answers questions and credential prompts from queues that a test
/// fills in advance. Safe to call from worker threads.
class FakePrompter : public Prompter {
public:
    struct Credentials {
        bool ok = false;
        std::string userName;
        std::string password;
    };

    void showMessage(const std::string& text, Icon) override {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(text);
    }

    bool ask(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_questions.push_back(text);
        if (m_answers.empty()) {
            return false;
        }
        const bool answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }

    bool authenticate(std::string& userName, std::string& password, const AuthChallenge& challenge,
                      int) override {
        std::lock_guard lock(m_mutex);
        m_challenges.push_back(challenge);
        if (m_credentials.empty()) {
            return false;
        }
        const Credentials next = m_credentials.front();
        m_credentials.pop_front();
        if (next.ok) {
            userName = next.userName;
            password = next.password;
        }
        return next.ok;
    }

    void setNextAnswer(bool answer) {
        std::lock_guard lock(m_mutex);
        m_answers.push_back(answer);
    }
    void setNextCredentials(Credentials credentials) {
        std::lock_guard lock(m_mutex);
        m_credentials.push_back(std::move(credentials));
    }
    std::vector<std::string> messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<std::string> questions() const {
        std::lock_guard lock(m_mutex);
        return m_questions;
    }
    /// The origins that asked for credentials, in order.
    std::vector<std::string> authAddresses() const {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> origins;
        for (const AuthChallenge& challenge : m_challenges) {
            origins.push_back(challenge.origin);
        }
        return origins;
    }
    std::vector<AuthChallenge> authChallenges() const {
        std::lock_guard lock(m_mutex);
        return m_challenges;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_questions;
    std::vector<AuthChallenge> m_challenges;
    std::deque<bool> m_answers;
    std::deque<Credentials> m_credentials;
};

} // namespace tw::test
