// Driver objects, device objects, device stacks and the object namespace.
//
// Names are case-insensitive and live in directories: "\Device\X" and "\??\X" are different names,
// "\DosDevices\X" and the Win32 form "\\.\X" both mean "\??\X". A link holds the name it points at,
// not the object, so it resolves to whatever device carries that name at the time.
#include "internal.h"

#include <cstdlib>
#include <cwctype>

namespace hk::detail {

std::u16string Canonical(std::u16string_view name)
{
    std::u16string up;
    up.reserve(name.size());
    for (char16_t c : name) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        } else if (c >= 0x80) {
            c = static_cast<char16_t>(std::towupper(static_cast<wint_t>(c)));
        }
        up.push_back(c);
    }
    static const std::u16string_view kDosPrefixes[] = {u"\\\\.\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"};
    for (auto prefix : kDosPrefixes) {
        if (up.compare(0, prefix.size(), prefix) == 0) {
            return u"\\??\\" + up.substr(prefix.size());
        }
    }
    return up;
}

namespace {

PDEVICE_OBJECT Resolve(const State &s, std::u16string key)
{
    // A bounded number of hops: a link loop resolves to nothing, as the object manager gives up.
    for (int hop = 0; hop < 32; ++hop) {
        auto it = s.names.find(key);
        if (it == s.names.end()) {
            return nullptr;
        }
        switch (it->second.kind) {
        case NameEntry::Kind::Device:
            return it->second.device;
        case NameEntry::Kind::Reserved:
            return nullptr;
        case NameEntry::Kind::Link:
            key = it->second.target;
            break;
        }
    }
    return nullptr;
}

void FreeDriver(State &s, PDRIVER_OBJECT driver)
{
    s.drivers.erase(driver);
    free(driver->DriverExtension);
    free(driver);
}

void FreeDevice(State &s, PDEVICE_OBJECT device)
{
    s.devices.erase(device);
    ForgetRemoveLocksIn(device->DeviceExtension, device->Host->extensionSize);
    auto driver = s.drivers.find(device->DriverObject);
    if (driver != s.drivers.end()) {
        --driver->second.liveDevices;
        if (driver->second.unloaded && driver->second.liveDevices == 0) {
            FreeDriver(s, device->DriverObject);
        }
    }
    free(device->DeviceExtension);
    delete device->Host;
    free(device);
}

bool AbsoluteName(PCUNICODE_STRING name)
{
    return name->Length >= sizeof(WCHAR) && name->Buffer[0] == u'\\';
}

}  // namespace

void ReleaseDeviceReference(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    if (s.devices.count(device) == 0) {
        return;
    }
    if (--device->ReferenceCount <= 0 && device->Host->deleted && device->AttachedDevice == nullptr) {
        FreeDevice(s, device);
    }
}

}  // namespace hk::detail

using namespace hk;
using namespace hk::detail;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    CheckIrql(PASSIVE_LEVEL, "IoCreateDevice");
    Reports reports;
    if (DeviceObject != nullptr) {
        *DeviceObject = nullptr;
    }
    if (DriverObject == nullptr || DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string display;
    if (DeviceName != nullptr) {
        if (!ValidUnicodeString(DeviceName, "IoCreateDevice", reports)) {
            return STATUS_INVALID_PARAMETER;
        }
        // An empty name makes an unnamed device, as the object manager treats it.
        if (DeviceName->Length != 0 && !AbsoluteName(DeviceName)) {
            return HK_STATUS_OBJECT_NAME_INVALID;
        }
        display = Narrow16(DeviceName);
    }
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    NTSTATUS injected;
    if (ShouldFail(Fault::CreateDevice, &injected, FaultSite{0, DriverObject})) {
        return injected;
    }
    std::u16string key = Canonical(display);
    if (!display.empty() && s.names.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    // Separate blocks for the object and its extension, each of its exact size, so that an
    // overrun of the extension or a touch after the last reference faults under the sanitizer.
    auto *device = static_cast<PDEVICE_OBJECT>(calloc(1, sizeof(DEVICE_OBJECT)));
    void *extension = DeviceExtensionSize != 0 ? calloc(1, DeviceExtensionSize) : nullptr;
    if (device == nullptr || (DeviceExtensionSize != 0 && extension == nullptr)) {
        free(device);
        free(extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT));
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = extension;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->Host = new HkDeviceState;
    device->Host->serial = s.nextSerial++;
    device->Host->name = display;
    device->Host->extensionSize = DeviceExtensionSize;
    device->Host->simulated = s.drivers[DriverObject].simulated;
    if (!display.empty()) {
        s.names[key] = NameEntry{NameEntry::Kind::Device, display, device, {}};
    }
    s.devices.insert(device);
    ++s.drivers[DriverObject].liveDevices;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    if (OpLogOn()) {
        KernelOp op;
        op.kind = KernelOp::Kind::CreateDevice;
        op.device = device;
        op.name = display;
        LogOpLocked(std::move(op));
    }
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql(APC_LEVEL, "IoDeleteDevice");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    if (s.devices.count(DeviceObject) == 0 || DeviceObject->Host->deleted) {
        reports.Add(rule::DeleteDeletedDevice, "IoDeleteDevice on " + Ptr(DeviceObject) + ", which is already deleted");
        return;
    }
    HkDeviceState &host = *DeviceObject->Host;
    // Deleting a device others still point at would leave the stack pointing at freed memory. The
    // one exception is NT's own: a lower driver that deletes its device while handling the remove
    // request the device above sent it. The object is then delete-pending, and the detach of the
    // device above frees it.
    PDEVICE_OBJECT above = DeviceObject->AttachedDevice;
    const bool aboveRemoving = above != nullptr && s.devices.count(above) != 0 && above->Host->removeFrame != nullptr;
    if (above != nullptr && !aboveRemoving) {
        reports.Add(rule::DeleteAttachedDevice, "IoDeleteDevice on \"" + Utf8(host.name) + "\" " + Ptr(DeviceObject) +
                                                    ", which still has " + Ptr(DeviceObject->AttachedDevice) + " attached above it");
        return;
    }
    if (host.lower != nullptr) {
        reports.Add(rule::DeleteAttachedDevice, "IoDeleteDevice on \"" + Utf8(host.name) + "\" " + Ptr(DeviceObject) +
                                                    ", which was never detached from " + Ptr(host.lower));
        return;
    }
    if (RemoveLockHeldIn(DeviceObject->DeviceExtension, host.extensionSize)) {
        reports.Add(rule::RemoveLockMisuse, "IoDeleteDevice on " + Ptr(DeviceObject) + " while its remove lock is held");
    }
    if (HkCallFrame *remove = host.removeFrame;
        remove != nullptr && remove->lowerAtEntry != nullptr && !__atomic_load_n(&remove->forwardReturned, __ATOMIC_ACQUIRE)) {
        reports.Add(rule::DeleteBeforeRemoveReturned, "IoDeleteDevice on " + Ptr(DeviceObject) +
                                                          " before the remove request it is handling came back from the drivers below");
    }
    host.deleted = true;
    if (OpLogOn()) {
        KernelOp op;
        op.kind = KernelOp::Kind::DeleteDevice;
        op.device = DeviceObject;
        op.name = host.name;
        LogOpLocked(std::move(op));
    }
    if (!host.name.empty()) {
        auto it = s.names.find(Canonical(host.name));
        if (it != s.names.end() && it->second.device == DeviceObject) {
            s.names.erase(it);
        }
    }
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    // Handles still open keep the object (and its extension) alive until the last close.
    if (DeviceObject->ReferenceCount <= 0 && above == nullptr) {
        FreeDevice(s, DeviceObject);
    }
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql(DISPATCH_LEVEL, "IoGetAttachedDevice");
    std::lock_guard<std::mutex> lock(Mutex());
    PDEVICE_OBJECT top = DeviceObject;
    while (top != nullptr && top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    CheckIrql(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    NTSTATUS ignored;
    if (ShouldFail(Fault::AttachDevice, &ignored,
                   FaultSite{0, s.devices.count(SourceDevice) != 0 ? SourceDevice->DriverObject : nullptr})) {
        return nullptr;
    }
    if (s.devices.count(SourceDevice) == 0 || s.devices.count(TargetDevice) == 0) {
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    if ((top->Flags & DO_DEVICE_INITIALIZING) != 0 || top->Host->deleted) {
        return nullptr;
    }
    // Every driver in a device stack handles or passes on Plug and Play and power requests.
    for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER)}) {
        PDRIVER_DISPATCH entry = SourceDevice->DriverObject->MajorFunction[major];
        if (entry == nullptr || entry == InvalidDeviceRequest) {
            reports.Add(rule::DispatchEntryMissing, "IoAttachDeviceToDeviceStack of " + Ptr(SourceDevice) + ", whose driver left major function " +
                                                        Hex(major) + " to the I/O manager");
        }
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->Host->lower = top;
    if (OpLogOn()) {
        KernelOp op;
        op.kind = KernelOp::Kind::Attach;
        op.device = SourceDevice;
        op.other = top;
        LogOpLocked(std::move(op));
    }
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    CheckIrql(PASSIVE_LEVEL, "IoDetachDevice");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    if (s.devices.count(TargetDevice) == 0 || TargetDevice->AttachedDevice == nullptr) {
        reports.Add(rule::DetachNotAttached, "IoDetachDevice on " + Ptr(TargetDevice) + ", which has nothing attached");
        return;
    }
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (s.devices.count(upper) != 0) {
        if (RemoveLockHeldIn(upper->DeviceExtension, upper->Host->extensionSize)) {
            reports.Add(rule::RemoveLockMisuse, "IoDetachDevice of " + Ptr(upper) + " while its remove lock is held");
        }
        upper->Host->lower = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
    if (OpLogOn()) {
        KernelOp op;
        op.kind = KernelOp::Kind::Detach;
        op.device = TargetDevice;
        op.other = upper;
        LogOpLocked(std::move(op));
    }
    if (TargetDevice->Host->deleted && TargetDevice->ReferenceCount <= 0) {
        FreeDevice(s, TargetDevice);  // deleted while the device above was still on it
    }
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    CheckIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    Reports reports;
    if (!ValidUnicodeString(SymbolicLinkName, "IoCreateSymbolicLink", reports) ||
        !ValidUnicodeString(DeviceName, "IoCreateSymbolicLink", reports)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!AbsoluteName(SymbolicLinkName) || !AbsoluteName(DeviceName)) {
        return HK_STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string display = Narrow16(SymbolicLinkName);
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    NTSTATUS injected;
    const auto named = s.names.find(Canonical(Narrow16(DeviceName)));
    const PDRIVER_OBJECT owner = named != s.names.end() && named->second.device != nullptr
                                     ? named->second.device->DriverObject
                                     : nullptr;
    if (ShouldFail(Fault::CreateSymbolicLink, &injected, FaultSite{0, owner})) {
        return injected;
    }
    std::u16string key = Canonical(display);
    if (s.names.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    s.names[key] = NameEntry{NameEntry::Kind::Link, display, nullptr, Canonical(Narrow16(DeviceName))};
    if (OpLogOn()) {
        KernelOp op;
        op.kind = KernelOp::Kind::CreateLink;
        op.name = display;
        op.target = Narrow16(DeviceName);
        LogOpLocked(std::move(op));
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    Reports reports;
    if (!ValidUnicodeString(SymbolicLinkName, "IoDeleteSymbolicLink", reports)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    auto it = s.names.find(Canonical(Narrow16(SymbolicLinkName)));
    if (it == s.names.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (it->second.kind != NameEntry::Kind::Link) {
        return HK_STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (OpLogOn()) {
        KernelOp op;
        op.kind = KernelOp::Kind::DeleteLink;
        op.name = it->second.display;
        LogOpLocked(std::move(op));
    }
    s.names.erase(it);
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace hk {

PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, NTSTATUS *entryStatus)
{
    CheckIrql(PASSIVE_LEVEL, "LoadDriver");
    auto *driver = static_cast<PDRIVER_OBJECT>(calloc(1, sizeof(DRIVER_OBJECT)));
    auto *extension = static_cast<PDRIVER_EXTENSION>(calloc(1, sizeof(DRIVER_EXTENSION)));
    driver->Type = 4;
    driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    for (auto &dispatch : driver->MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    UNICODE_STRING registryPath{};
    {
        std::lock_guard<std::mutex> lock(Mutex());
        DriverRecord &record = S().drivers[driver];
        record.name = std::u16string(name);
        size_t slash = record.name.find_last_of(u'\\');
        record.registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                              (slash == std::u16string::npos ? record.name : record.name.substr(slash + 1));
        driver->DriverName.Buffer = record.name.data();
        driver->DriverName.Length = static_cast<USHORT>(record.name.size() * sizeof(WCHAR));
        driver->DriverName.MaximumLength = driver->DriverName.Length;
        registryPath.Buffer = record.registryPath.data();
        registryPath.Length = static_cast<USHORT>(record.registryPath.size() * sizeof(WCHAR));
        registryPath.MaximumLength = registryPath.Length;
    }
    KIRQL before = Irql();
    NTSTATUS status = entry != nullptr ? entry(driver, &registryPath) : STATUS_SUCCESS;
    if (Irql() != before) {
        Violate(rule::IrqlNotRestored, "DriverEntry of \"" + Utf8(name) + "\" returned at IRQL " + std::to_string(Irql()));
        SetIrql(before);
    }
    if (entryStatus != nullptr) {
        *entryStatus = status;
    }
    if (NT_SUCCESS(status)) {
        return driver;
    }
    if (driver->DeviceObject != nullptr) {
        Violate(rule::DeviceObjectLeak, "DriverEntry of \"" + Utf8(name) + "\" failed and left device objects");
    }
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    s.drivers[driver].unloaded = true;
    if (s.drivers[driver].liveDevices == 0) {
        FreeDriver(s, driver);
    }
    return nullptr;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    CheckIrql(PASSIVE_LEVEL, "UnloadDriver");
    {
        std::lock_guard<std::mutex> lock(Mutex());
        auto it = S().drivers.find(driver);
        if (it == S().drivers.end() || it->second.unloaded) {
            return;
        }
    }
    if (driver->DriverUnload != nullptr) {
        driver->DriverUnload(driver);
    }
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    DriverRecord &record = s.drivers[driver];
    if (driver->DeviceObject != nullptr) {
        reports.Add(rule::DeviceObjectLeak, "driver \"" + Utf8(record.name) + "\" unloaded with device objects left");
    }
    // The object stays while any of its device objects lives (a deleted one kept by a handle).
    record.unloaded = true;
    if (record.liveDevices == 0) {
        FreeDriver(s, driver);
    }
}

PDEVICE_OBJECT LookupDevice(std::u16string_view name)
{
    std::lock_guard<std::mutex> lock(Mutex());
    return Resolve(S(), Canonical(name));
}

bool NameExists(std::u16string_view name)
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().names.count(Canonical(name)) != 0;
}

std::vector<std::u16string> Names()
{
    std::lock_guard<std::mutex> lock(Mutex());
    std::vector<std::u16string> all;
    for (const auto &entry : S().names) {
        all.push_back(entry.second.display);
    }
    return all;
}

std::u16string DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().devices.count(device) != 0 ? device->Host->name : std::u16string();
}

bool IsDeleted(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().devices.count(device) == 0 || device->Host->deleted;
}

size_t LiveDeviceCount()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().devices.size();
}

void ReserveName(std::u16string_view name)
{
    std::lock_guard<std::mutex> lock(Mutex());
    S().names[Canonical(name)] = NameEntry{NameEntry::Kind::Reserved, std::u16string(name), nullptr, {}};
}

void ReleaseName(std::u16string_view name)
{
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = S().names.find(Canonical(name));
    if (it != S().names.end() && it->second.kind == NameEntry::Kind::Reserved) {
        S().names.erase(it);
    }
}

}  // namespace hk
