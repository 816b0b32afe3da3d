// A whole stack per test: a fresh host kernel, the filter driver loaded, the simulated PnP manager
// with its bus and class drivers. Every verifier violation fails the test unless the test expected
// it, and the kernel must be clean (no pool block, device object, name or IRP left) at the end.
#pragma once

#include "sim/sim.h"
#include "usb/hct/hct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace stack {

using Lines = std::vector<std::string>;

// The I/O mode of the whole suite, from the environment: HCT_IO_MODE=cross-thread (deferred work on
// a thread of its own, at any moment) or force-pending (every request a simulated driver completes
// at once is pended instead) or complete-at-once (the bus answers inside its dispatch routine what it
// can, and a request its creator took back is poisoned until the creator's IoCallDriver returns);
// HCT_SEED=n varies the cross-thread schedule, repeatably.
inline hk::IoMode IoModeFromEnvironment()
{
    const char *mode = std::getenv("HCT_IO_MODE");
    const std::string name = mode != nullptr ? mode : "";
    if (name == "cross-thread")
        return hk::IoMode::CrossThread;
    if (name == "force-pending")
        return hk::IoMode::ForcePending;
    if (name == "complete-at-once")
        return hk::IoMode::CompleteAtOnce;
    return hk::IoMode::Normal;
}

// HCT_NEIGHBOUR=filter: every mouse of the suite gets a second lower filter between its PDO and the
// filter under test (sim::NeighbourFilter's defaults: other flags, type and characteristics, and a
// larger StackSize), unless its config names one itself.
inline bool NeighbourFromEnvironment()
{
    const char *neighbour = std::getenv("HCT_NEIGHBOUR");
    return neighbour != nullptr && std::string(neighbour) == "filter";
}

inline uint64_t SeedFromEnvironment()
{
    const char *seed = std::getenv("HCT_SEED");
    return seed != nullptr ? std::strtoull(seed, nullptr, 0) : 1;
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hk::Reset();
        hk::SetViolationHandler([this](const hk::Violation &v) { violations_.push_back(v); });
        filter_ = hk::LoadDriver(u"\\Driver\\hct", DriverEntry);
        ASSERT_NE(filter_, nullptr);
        pnp_ = std::make_unique<sim::PnpManager>(filter_);
        if (NeighbourFromEnvironment())
            pnp_->SetNeighbour(sim::NeighbourFilter{});
        hk::MarkSimulated(pnp_->BusDriver());
        hk::MarkSimulated(pnp_->ClassDriver());
        // Each test its own schedule, the same on every run with the same seed.
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        const uint64_t seed = SeedFromEnvironment() ^ std::hash<std::string>{}(std::string(test->test_suite_name()) + "." + test->name());
        hk::SetIoMode(IoModeFromEnvironment(), seed);
    }

    void TearDown() override
    {
        for (sim::Mouse *mouse : pnp_->Mice())
            if (mouse->State() != sim::MouseState::Removed)
                pnp_->Remove(*mouse);
        pnp_.reset();
        hk::UnloadDriver(filter_);
        hk::SetIoMode(hk::IoMode::Normal);
        hk::CheckClean();
        for (const hk::Violation &v : violations_)
            ADD_FAILURE() << "kernel rule broken: " << v.rule << ": " << v.detail;
    }

    // Removes the violations of `rule` seen so far and returns how many there were.
    size_t TakeViolations(const std::string &rule)
    {
        const auto before = violations_.size();
        violations_.erase(std::remove_if(violations_.begin(), violations_.end(),
                                         [&](const hk::Violation &v) { return v.rule == rule; }),
                          violations_.end());
        return before - violations_.size();
    }

    // Trace entries (one per DbgPrint call) written since `mark` (an earlier TraceMark()).
    static size_t TraceMark() { return hk::TraceEntries().size(); }
    static Lines TraceSince(size_t mark)
    {
        const auto &all = hk::TraceEntries();
        return Lines(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end());
    }

    // The device the filter attached to: the PDO, or the neighbour filter when the mouse has one.
    static PDEVICE_OBJECT Below(sim::Mouse &mouse) { return mouse.Neighbour() != nullptr ? mouse.Neighbour() : mouse.Pdo(); }

    static PDEVICE_EXTENSION Extension(sim::Mouse &mouse)
    {
        return static_cast<PDEVICE_EXTENSION>(mouse.FilterExtension());
    }

    PDRIVER_OBJECT filter_ = nullptr;
    std::unique_ptr<sim::PnpManager> pnp_;
    std::vector<hk::Violation> violations_;
};

// The lines every successful AddDevice writes.
inline const Lines kAddDeviceLines = {
    "\n\r Device Lower Filter - Add Device ",
    "\n\r Device Lower Filter - Add Device Successfully ",
    "\n\r[CreateExtraDO] Create Extra-Device-Object Successfully",
    "\n\r[CreateExtraDO] Create Symbolic Link Successfully",
};

inline Lines Dump(const char *title, const std::vector<uint8_t> &bytes)
{
    Lines lines{title};
    char text[16];
    for (uint8_t b : bytes) {
        snprintf(text, sizeof text, " 0x%x", b);
        lines.push_back(text);
    }
    lines.push_back("\n\r");
    return lines;
}

inline Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace stack
