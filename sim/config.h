// How a simulated mouse behaves: what its bus driver answers to each request, and how its class
// driver reads it. Everything has a default that makes a well-behaved 5-button mouse with wheel and
// AC pan whose string descriptor 200 answers with the raw bytes "START".
#pragma once

#include "../platform/kernel.h"
#include "default_mouse.h"
#include "urb_tap.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace sim {

// USBD status codes as the bus driver writes them into URB headers. Cancelled URBs get 0x00010000 by
// default, the value the filter's status table names USBD_STATUS_CANCELED (the DDK's own constant
// has the error bits set; a bus can report either, see UrbAnswer::cancelUsbdStatus).
inline constexpr USBD_STATUS kUsbdSuccess = 0x00000000;
inline constexpr USBD_STATUS kUsbdStallPid = (USBD_STATUS)0xC0000004;
inline constexpr USBD_STATUS kUsbdDevNotResponding = (USBD_STATUS)0xC0000005;
inline constexpr USBD_STATUS kUsbdInvalidUrbFunction = (USBD_STATUS)0x80000200;
inline constexpr USBD_STATUS kUsbdInvalidParameter = (USBD_STATUS)0x80000300;
inline constexpr USBD_STATUS kUsbdInvalidPipeHandle = (USBD_STATUS)0x80000600;
inline constexpr USBD_STATUS kUsbdCanceled = 0x00010000;
inline constexpr USBD_STATUS kUsbdCanceledDdk = (USBD_STATUS)0xC0010000;
inline constexpr USBD_STATUS kUsbdDeviceGone = (USBD_STATUS)0xC0007000;
// A device that sends more bytes than the interrupt read asked for (babble).
inline constexpr USBD_STATUS kUsbdDataOverrun = (USBD_STATUS)0xC000000C;

// Whether the bus driver completes a URB inside its dispatch routine (IofCallDriver returns the
// final status) or marks it pending and completes it later at DISPATCH_LEVEL from deferred work.
enum class Completion { Synchronous, Pending };

// The bus driver's answer to one kind of control request (the report descriptor, the string
// descriptor 200, other setup packets).
struct UrbAnswer {
    enum class Kind {
        Answer,              // complete with `data`/statuses, after `delay` when pending
        HoldUntilCancelled,  // never answered; completed only when cancelled (cancel routine set)
        HoldForever,         // never answered, not even when cancelled (no cancel routine); only
                             // removal, surprise removal or UsbBus::ReleaseHeld() ends it
    };
    Kind kind = Kind::Answer;
    std::vector<uint8_t> data;            // copied into the transfer buffer, up to its length
    std::optional<ULONG> reportedLength;  // TransferBufferLength written back; default: bytes copied
    USBD_STATUS usbdStatus = kUsbdSuccess;
    NTSTATUS status = STATUS_SUCCESS;
    std::optional<Completion> completion;  // default: MouseConfig::urbCompletion
    int64_t delay = 0;                     // virtual 100 ns units before a pending answer
    // How a cancelled request of this kind is completed, and how late after the cancel.
    USBD_STATUS cancelUsbdStatus = kUsbdCanceled;
    NTSTATUS cancelStatus = STATUS_CANCELLED;
    int64_t cancelDelay = 0;

    static UrbAnswer Bytes(std::vector<uint8_t> bytes);
    static UrbAnswer Text(std::string_view text);  // raw bytes of the text, no descriptor header
    // Fails with a USBD status and an NTSTATUS; `bytes` may still be copied into the buffer.
    static UrbAnswer Failure(USBD_STATUS usbd, NTSTATUS status, std::vector<uint8_t> bytes = {});
    static UrbAnswer Stall();  // USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL
    static UrbAnswer HoldUntilCancelled(USBD_STATUS cancelUsbd = kUsbdCanceled, NTSTATUS cancelStatus = STATUS_CANCELLED);
    static UrbAnswer HoldForever();
    // Chainable adjustments.
    UrbAnswer &After(int64_t delay100ns);  // pending, answered after the delay
    UrbAnswer &Sync();                     // completed inside the dispatch routine
    UrbAnswer &Pend();                     // marked pending, completed from deferred work
    UrbAnswer &Length(ULONG reported);     // TransferBufferLength reported back
};

// The bus driver's answer to IRP_MN_START_DEVICE.
struct StartAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    Completion completion = Completion::Synchronous;
    int64_t delay = 0;  // pending only: virtual time before it completes
};

// How the class driver describes the buffer of its interrupt reads.
enum class BufferForm {
    TransferBuffer,    // TransferBuffer set, no MDL
    MdlNonPagedPool,   // MDL built by MmBuildMdlForNonPagedPool (MDL_SOURCE_IS_NONPAGED_POOL)
    MdlMapped,         // locked MDL already mapped by the class driver (MDL_MAPPED_TO_SYSTEM_VA)
    MdlLockedUnmapped, // locked MDL, not mapped: whoever reads it must map it (MmMapLockedPages)
};

// Options of one fed input report.
struct ReportOptions {
    USBD_STATUS usbdStatus = kUsbdSuccess;
    std::optional<NTSTATUS> status;       // default: success when usbdStatus is 0, else STATUS_UNSUCCESSFUL
    std::optional<ULONG> reportedLength;  // TransferBufferLength reported; default: bytes copied
    int64_t delay = 0;                    // virtual 100 ns units before the report is delivered

    static ReportOptions WithLength(ULONG reported)
    {
        ReportOptions o;
        o.reportedLength = reported;
        return o;
    }
    static ReportOptions Failed(USBD_STATUS usbd, NTSTATUS status = STATUS_UNSUCCESSFUL)
    {
        ReportOptions o;
        o.usbdStatus = usbd;
        o.status = status;
        return o;
    }
    static ReportOptions After(int64_t delay100ns)
    {
        ReportOptions o;
        o.delay = delay100ns;
        return o;
    }
};

// What the class driver sends after a successful start. System: what the system's HID-over-USB
// class driver sends (device descriptor, configuration descriptor twice, SELECT_CONFIGURATION,
// SET_IDLE, the report descriptor through GET_DESCRIPTOR_FROM_INTERFACE, then the interrupt reads).
// DirectControlTransfer: the report descriptor through a control transfer the class driver builds
// itself (setup 81 06 00 22), then the reads; nothing for the bus to convert.
enum class ClassSequence { System, DirectControlTransfer };

// A second lower filter between the mouse's PDO and the filter under test (as a vendor's or a
// USB-level filter sits there on some machines), with a device object unlike the PDO's. It passes
// every request down unchanged: skip, call the device below, no completion routine; power as
// power is passed (PoStartNextPowerIrp, skip, PoCallDriver); at removal, pass down, detach, delete.
struct NeighbourFilter {
    // Its DO_BUFFERED_IO / DO_DIRECT_IO / DO_POWER_PAGABLE bits, set instead of the PDO's.
    ULONG flags = DO_BUFFERED_IO;
    DEVICE_TYPE deviceType = 0x0F;     // FILE_DEVICE_MOUSE
    ULONG characteristics = 0x100;     // FILE_DEVICE_SECURE_OPEN
    // Stack locations it adds to what the attach gave it (for requests of its own), so that its
    // StackSize is not the PDO's plus one.
    CCHAR extraStackLocations = 2;
};

struct MouseConfig {
    // ---- the device and its bus driver ----
    // Flags of the PDO the bus creates (DO_DEVICE_INITIALIZING is cleared whatever this says).
    ULONG pdoFlags = DO_POWER_PAGABLE;
    // A second lower filter below the filter under test; none when empty (the filter attaches to
    // the PDO). PnpManager::SetNeighbour gives every mouse plugged one that says nothing here.
    std::optional<NeighbourFilter> neighbour;
    std::vector<uint8_t> reportDescriptor = DefaultMouseDescriptor();
    // The device descriptor (18 bytes); empty: a plausible one for a USB mouse.
    std::vector<uint8_t> deviceDescriptor;
    // The whole configuration: configuration, interface, HID descriptor (with wReportLength) and
    // interrupt-IN endpoint descriptors; empty: built around reportDescriptor.
    std::vector<uint8_t> configurationDescriptor;
    // String descriptors other than the probe's index 200, answered with exactly these bytes.
    std::map<uint8_t, std::vector<uint8_t>> stringDescriptors;
    // Answer to GET_DESCRIPTOR(HID report) (setup 81 06 00 22, sent as GET_DESCRIPTOR_FROM_INTERFACE
    // or as a control transfer); default: reportDescriptor, success.
    std::optional<UrbAnswer> descriptorAnswer;
    // Answer to the string descriptor request, index 200, language 0x0409.
    UrbAnswer stringAnswer = UrbAnswer::Text("START");
    // Answer to every control request the device does not answer itself (it answers its device,
    // configuration, HID, report and string descriptors, and SET_IDLE).
    UrbAnswer otherControlAnswer = UrbAnswer::Stall();
    // Answers to the start request, in order; the last one repeats (a restart after a stop gets the
    // next answer).
    std::vector<StartAnswer> startAnswers = {StartAnswer{}};
    // Final status of other PnP minors by code. Minors not listed: success for the ones a bus driver
    // handles for its child (query/cancel remove and stop, stop, surprise removal, remove); the
    // status left unchanged (STATUS_NOT_SUPPORTED from the PnP manager) for the others.
    std::map<UCHAR, NTSTATUS> pnpStatus;
    // Default completion of URBs whose answer does not say.
    Completion urbCompletion = Completion::Pending;
    // Completion of an interrupt read that arrives while a fed report is already waiting for it.
    Completion queuedReportCompletion = Completion::Pending;
    // Malformed URBs (wrong header Length for the function, no buffer with a non-zero length, a
    // string request that is neither index 200 / language 0x0409 / 255 bytes nor one of
    // stringDescriptors, a SELECT_CONFIGURATION that does not fit the device, a read on no pipe of
    // the selected configuration, ...) are
    // reported through hk::Violate("SimBusUnexpectedRequest") when strict; either way they are
    // answered with USBD_STATUS_INVALID_PARAMETER and STATUS_INVALID_PARAMETER.
    bool strict = true;
    // The bus accepts only this exact string request (index 200, type 3, language 0x0409, 255 bytes)
    // besides the indexes of stringDescriptors; without it every other string request gets stringAnswer.
    bool expectProbeFields = true;

    // ---- the class driver above ----
    ClassSequence classSequence = ClassSequence::System;
    BufferForm bufferForm = BufferForm::TransferBuffer;
    unsigned readsOutstanding = 2;
    // Bytes per interrupt read buffer when the class driver has not sized it from the report
    // descriptor (System sizes it for the largest input report, at most kMaxInterruptTransfer).
    ULONG readBufferLength = 64;
    // DirectControlTransfer: wLength of the descriptor request and its buffer size (System asks for
    // the HID descriptor's wReportLength + 64).
    ULONG descriptorRequestLength = 4096;
    // Send classSequence after each start; false: only the reads, on no selected configuration.
    bool fetchDescriptor = true;
    // The class driver re-submits a read from deferred work at this IRQL after each completion.
    // PASSIVE_LEVEL rebuilds the MDL for every read (an unmapped MDL stays unmapped each time);
    // DISPATCH_LEVEL re-sends the read at raised IRQL and keeps the read's first MDL.
    KIRQL resubmitIrql = PASSIVE_LEVEL;
    // A read completed with an error normally stops that read for good (as removal does).
    bool resubmitAfterFailure = false;
    // At IRP_MN_REMOVE_DEVICE the class driver normally passes the request down with its reads still
    // pending (the bus fails them); with this set it cancels its reads and waits for them first.
    bool cancelReadsBeforeRemove = false;

    // ---- the bus at removal ----
    // How long after IRP_MN_SURPRISE_REMOVAL / IRP_MN_REMOVE_DEVICE the bus fails the URBs it still
    // holds (virtual 100 ns units). 0: before it completes the PnP request; later: from deferred
    // work, after the request has gone back up, as a host controller that notices late does.
    int64_t failHeldAfterRemovalDelay = 0;

    // ---- observation ----
    // Shown every URB the bus driver receives and completes and every URB the class driver sends and
    // gets back (not owned; must outlive the mouse). Null: nothing is shown.
    UrbTap *urbTap = nullptr;

    // ---- what the simulation keeps ----
    // Keep a record of every completed interrupt read (HidClass::Reads) and of every request the bus
    // received (UsbBus::Log). A long replay turns this off and watches the reads and requests as they
    // happen (HidClass::SetReadObserver, UsbBus::SetRequestObserver), so that nothing grows per report.
    bool keepRecords = true;
    // The class driver's interrupt reads are at least this long (0: as long as the largest input
    // report the report descriptor declares, as the system's class driver sizes them).
    ULONG minimumReadLength = 0;
};

}  // namespace sim
