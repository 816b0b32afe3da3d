// Test fixture for the host kernel layer: a fresh kernel per test whose violations are recorded
// instead of stopping the process, and a toy driver whose every device object dispatches to a
// behaviour the test gives it.
#pragma once

#include <gtest/gtest.h>

#include "platform/host/hostkernel.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct ToyExtension {
    Dispatch *dispatch;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
};

inline ToyExtension *Ext(PDEVICE_OBJECT device) { return static_cast<ToyExtension *>(device->DeviceExtension); }

inline NTSTATUS NTAPI ToyDispatch(PDEVICE_OBJECT device, PIRP irp) { return (*Ext(device)->dispatch)(device, irp); }

inline NTSTATUS NTAPI ToyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &entry : driver->MajorFunction) {
        entry = ToyDispatch;
    }
    return STATUS_SUCCESS;
}

// Completes the request with `status` and returns it: the one exit of a well-behaved dispatch.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS SkipTo(PDEVICE_OBJECT lower, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hk::Reset();
        hk::SetViolationHandler([](const hk::Violation &) {});
        hk::SetWatchdog(std::chrono::milliseconds(3000));
        driver_ = hk::LoadDriver(u"\\Driver\\toy", ToyEntry);
        ASSERT_NE(driver_, nullptr);
    }

    void TearDown() override
    {
        size_t before = hk::Violations().size();
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
            PDEVICE_OBJECT device = *it;
            if (hk::IsDeleted(device)) {
                continue;
            }
            PDEVICE_OBJECT lower = Ext(device)->lower;
            if (lower != nullptr && !hk::IsDeleted(lower) && lower->AttachedDevice == device) {
                IoDetachDevice(lower);
            }
            IoDeleteDevice(device);
        }
        hk::UnloadDriver(driver_);
        EXPECT_TRUE(hk::CheckClean()) << "the test left objects behind";
        if (hk::Violations().size() > before) {
            for (size_t i = before; i < hk::Violations().size(); ++i) {
                ADD_FAILURE() << hk::Violations()[i].rule << ": " << hk::Violations()[i].detail;
            }
        }
    }

    // A device of the toy driver, attached on top of `below` when given, ready for requests.
    PDEVICE_OBJECT Device(Dispatch dispatch, PDEVICE_OBJECT below = nullptr, const char16_t *name = nullptr)
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver_, sizeof(ToyExtension), name != nullptr ? &text : nullptr,
                                         FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (device == nullptr) {
            return nullptr;
        }
        behaviours_.push_back(std::make_unique<Dispatch>(std::move(dispatch)));
        Ext(device)->dispatch = behaviours_.back().get();
        if (below != nullptr) {
            Ext(device)->lower = IoAttachDeviceToDeviceStack(device, below);
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        devices_.push_back(device);
        return device;
    }

    // A stack of a bottom device completing everything with `status` and a pass-through above it.
    PDEVICE_OBJECT Bottom(NTSTATUS status = STATUS_SUCCESS)
    {
        return Device([status](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status); });
    }

    PDEVICE_OBJECT PassThrough(PDEVICE_OBJECT below)
    {
        return Device([](PDEVICE_OBJECT self, PIRP irp) { return SkipTo(Ext(self)->lower, irp); }, below);
    }

    // A filter that copies its location down with `routine` set for the given outcomes.
    PDEVICE_OBJECT Watch(PDEVICE_OBJECT below, PIO_COMPLETION_ROUTINE routine, PVOID context = nullptr,
                         BOOLEAN onSuccess = TRUE, BOOLEAN onError = TRUE, BOOLEAN onCancel = TRUE)
    {
        return Device(
            [=](PDEVICE_OBJECT self, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, routine, context, onSuccess, onError, onCancel);
                return IoCallDriver(Ext(self)->lower, irp);
            },
            below);
    }

    static std::vector<std::string> Rules()
    {
        std::vector<std::string> rules;
        for (const auto &v : hk::Violations()) {
            rules.push_back(v.rule);
        }
        return rules;
    }

    static size_t Count(const char *rule)
    {
        auto rules = Rules();
        return static_cast<size_t>(std::count(rules.begin(), rules.end(), std::string(rule)));
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<std::unique_ptr<Dispatch>> behaviours_;
};

// A creator-side completion routine that records what it saw and keeps the IRP (driver-allocated
// IRPs must come back with STATUS_MORE_PROCESSING_REQUIRED).
struct Seen {
    int calls = 0;
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = 0;
    NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;
};

inline NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *seen = static_cast<Seen *>(context);
    ++seen->calls;
    seen->device = device;
    seen->pendingReturned = irp->PendingReturned;
    seen->status = irp->IoStatus.Status;
    return seen->result;
}

// A request a toy creator sent, and what its completion routine saw.
struct Sent {
    PIRP irp = nullptr;
    NTSTATUS status = 0;
    Seen seen;
};

// Sends a new driver-allocated request as a creator that keeps it, lets deferred work finish it and
// frees it once it came back. A Plug and Play request starts as the PnP manager starts it, with
// STATUS_NOT_SUPPORTED.
inline void Send(PDEVICE_OBJECT device, Sent &sent, UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL, UCHAR minor = 0)
{
    sent.irp = IoAllocateIrp(device->StackSize, FALSE);
    if (major == IRP_MJ_PNP) {
        sent.irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(sent.irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    IoSetCompletionRoutine(sent.irp, RecordCompletion, &sent.seen, TRUE, TRUE, TRUE);
    sent.status = IoCallDriver(device, sent.irp);
    hk::RunUntilIdle();
    if (sent.seen.calls > 0) {
        IoFreeIrp(sent.irp);
    }
}

// The bus-driver shape: mark pending, finish later from deferred work at DISPATCH_LEVEL.
inline NTSTATUS PendAndCompleteLater(PIRP irp, NTSTATUS status, int64_t delay = hk::Ms(5))
{
    IoMarkIrpPending(irp);
    hk::Defer([irp, status] { Complete(irp, status); }, delay);
    return STATUS_PENDING;
}
