// User-mode handles: what CreateFile, DeviceIoControl and CloseHandle make the I/O manager do.
// Requests go to the top of the stack of the opened device as threaded IRPs carrying the file
// object; the caller waits when the driver pends. An open handle holds a reference that keeps the
// device object (and its extension) alive after IoDeleteDevice until the last close.
#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

using namespace hk;
using namespace hk::detail;

namespace {

// The wait state of one request, on the heap: if a driver leaves the request unfinished, it is
// kept rather than freed so that the completion still has somewhere to write.
struct Request {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
};

struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool finished = true;
};

Outcome Send(PFILE_OBJECT file, PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
             const std::function<void(PIRP, PIO_STACK_LOCATION)> &setup)
{
    Outcome outcome;
    // The I/O manager's IRP for the caller's request can be refused for lack of memory, as
    // IoAllocateIrp can (failure injection counts it as one); cleanup and close cannot, since Windows
    // retries until it gets one.
    if (major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
        std::lock_guard<std::mutex> lock(Mutex());
        NTSTATUS ignored;
        if (ShouldFail(Fault::AllocateIrp, &ignored)) {
            outcome.status = STATUS_INSUFFICIENT_RESOURCES;
            return outcome;
        }
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    auto *request = new Request{};
    KeInitializeEvent(&request->event, NotificationEvent, FALSE);
    PIRP irp = AllocateThreadedIrp(top->StackSize, &request->event, &request->iosb);
    if (irp == nullptr) {
        delete request;
        outcome.status = STATUS_INSUFFICIENT_RESOURCES;
        return outcome;
    }
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION next = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1;
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = file;
    if (setup) {
        setup(irp, next);
    }
    uint64_t serial;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        serial = irp->Host->serial;
    }
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&request->event, Executive, KernelMode, FALSE, nullptr);
        status = request->iosb.Status;
    }
    outcome.status = status;
    // A request that failed at once has no status block written; Information stays 0.
    outcome.information = request->iosb.Information;
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = S().irps.find(irp);
    if (it != S().irps.end() && it->second == serial) {
        outcome.finished = false;
        S().orphans.push_back(request);
    } else {
        delete request;
    }
    return outcome;
}

bool FindHandle(Handle handle, HandleRecord *record)
{
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = S().handles.find(handle);
    if (it == S().handles.end()) {
        return false;
    }
    *record = it->second;
    return true;
}

}  // namespace

namespace hk {

NTSTATUS OpenFile(std::u16string_view path, Handle *handle)
{
    CheckIrql(PASSIVE_LEVEL, "OpenFile");
    if (handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *handle = 0;
    PDEVICE_OBJECT device = LookupDevice(path);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if ((device->Flags & DO_EXCLUSIVE) != 0 &&
            std::any_of(s.handles.begin(), s.handles.end(), [&](const auto &h) { return h.second.device == device; })) {
            return STATUS_ACCESS_DENIED;
        }
        ++device->ReferenceCount;
    }
    auto *file = static_cast<PFILE_OBJECT>(calloc(1, sizeof(FILE_OBJECT)));
    file->Type = 5;
    file->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
    file->DeviceObject = device;
    Outcome outcome = Send(file, device, IRP_MJ_CREATE, 0, nullptr);
    if (!NT_SUCCESS(outcome.status)) {
        if (outcome.finished) {
            free(file);
        }
        ReleaseDeviceReference(device);
        return outcome.status;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    Handle h = s.nextHandle;
    s.nextHandle += 4;
    s.handles[h] = HandleRecord{file, device};
    *handle = h;
    return outcome.status;
}

NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                         ULONG_PTR *information)
{
    CheckIrql(PASSIVE_LEVEL, "DeviceIoControl");
    if (information != nullptr) {
        *information = 0;
    }
    HandleRecord record;
    if (!FindHandle(handle, &record)) {
        return HK_STATUS_INVALID_HANDLE;
    }
    ULONG method = code & 3;
    size_t systemBytes = 0;
    if (method == METHOD_BUFFERED) {
        systemBytes = std::max(inLength, outLength);
    } else if (method != METHOD_NEITHER) {
        systemBytes = inLength;
    }
    void *system = systemBytes != 0 ? calloc(1, systemBytes) : nullptr;
    if (system != nullptr && in != nullptr && inLength != 0) {
        memcpy(system, in, inLength);
    }
    PMDL mdl = nullptr;
    Outcome outcome = Send(record.file, record.device, IRP_MJ_DEVICE_CONTROL, 0, [&](PIRP irp, PIO_STACK_LOCATION next) {
        next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        next->Parameters.DeviceIoControl.InputBufferLength = inLength;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        irp->AssociatedIrp.SystemBuffer = system;
        irp->UserBuffer = out;
        if (method == METHOD_NEITHER) {
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(in);
        } else if (method != METHOD_BUFFERED && out != nullptr && outLength != 0) {
            std::lock_guard<std::mutex> lock(Mutex());
            mdl = NewMdl(out, outLength);
            mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_PAGES_LOCKED);
            irp->MdlAddress = mdl;
        }
    });
    ULONG_PTR info = outcome.information;
    if (method == METHOD_BUFFERED && out != nullptr && !NT_ERROR(outcome.status)) {
        // NT copies Information bytes back, whatever the output length was.
        if (info > outLength) {
            Violate(rule::InformationTooLarge, "device control " + Hex(code) + " completed with Information " + std::to_string(info) +
                                                   " for an output buffer of " + std::to_string(outLength) + " bytes");
        }
        memcpy(out, system, std::min<ULONG_PTR>(info, systemBytes));
    }
    if (information != nullptr) {
        *information = info;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    if (outcome.finished) {
        free(system);
        if (mdl != nullptr) {
            DeleteMdl(mdl);
        }
    } else {
        S().orphans.push_back(system);
    }
    return outcome.status;
}

NTSTATUS SendMajor(Handle handle, UCHAR major, UCHAR minor)
{
    CheckIrql(PASSIVE_LEVEL, "SendMajor");
    HandleRecord record;
    if (!FindHandle(handle, &record)) {
        return HK_STATUS_INVALID_HANDLE;
    }
    return Send(record.file, record.device, major, minor, nullptr).status;
}

NTSTATUS CloseFile(Handle handle)
{
    CheckIrql(PASSIVE_LEVEL, "CloseFile");
    HandleRecord record;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        auto it = S().handles.find(handle);
        if (it == S().handles.end()) {
            return HK_STATUS_INVALID_HANDLE;
        }
        record = it->second;
        S().handles.erase(it);
    }
    Outcome cleanup = Send(record.file, record.device, IRP_MJ_CLEANUP, 0, nullptr);
    Outcome close = Send(record.file, record.device, IRP_MJ_CLOSE, 0, nullptr);
    if (cleanup.finished && close.finished) {
        free(record.file);
    }
    ReleaseDeviceReference(record.device);
    return cleanup.status;
}

}  // namespace hk
