#pragma once

#include "core/watch/ItemChecker.h"

namespace tw::test {

/// An item checker that never checks: a watch list on it only keeps and saves its items.
class NullChecker : public ItemChecker {
public:
    void setReceiver(CheckReceiver*) override {}
    void arm(const WatchSettings&) override {}
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}
};

} // namespace tw::test
