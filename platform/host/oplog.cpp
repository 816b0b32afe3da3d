// The ordered log of kernel operations: object creation and deletion, links, attach and detach,
// pool frees, calls down the stack and the power calls, each with the device whose dispatch routine
// made it, so that a test can check the order in which a driver does them.
#include "internal.h"

namespace hk::detail {

std::atomic<bool> gOpLogOn{false};

void LogOpLocked(KernelOp op)
{
    if (!OpLogOn()) {
        return;
    }
    if (op.actor == nullptr && tlsActor != nullptr && tlsActor->frame != nullptr) {
        op.actor = tlsActor->frame->device;
    }
    S().ops.push_back(std::move(op));
}

void LogOp(KernelOp op)
{
    std::lock_guard<std::mutex> lock(Mutex());
    LogOpLocked(std::move(op));
}

}  // namespace hk::detail

namespace hk {

using namespace hk::detail;

void SetKernelOpLog(bool on)
{
    std::lock_guard<std::mutex> lock(Mutex());
    if (on) {
        S().ops.clear();
    }
    gOpLogOn.store(on, std::memory_order_relaxed);
}

std::vector<KernelOp> KernelOps()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().ops;
}

std::vector<Delivery> Route(uint64_t irpSerial)
{
    std::vector<Delivery> route;
    std::lock_guard<std::mutex> lock(Mutex());
    for (const KernelOp &op : S().ops) {
        if (op.kind == KernelOp::Kind::CallDriver && op.irpSerial == irpSerial) {
            route.push_back({op.device, op.location - 1, op.sent, op.routine});
        }
    }
    return route;
}

std::string Describe(const KernelOp &op)
{
    static const char *const kNames[] = {"CreateDevice", "DeleteDevice", "CreateLink",   "DeleteLink",        "Attach",
                                         "Detach",       "PoolFree",     "CallDriver",   "DispatchReturn",    "SkipLocation",
                                         "CopyLocation", "StartNextPowerIrp", "PoCallDriver", "Print",
                                         "Complete"};
    std::string text = kNames[static_cast<int>(op.kind)];
    text += " by " + Ptr(op.actor);
    if (op.device != nullptr) {
        text += " device " + Ptr(op.device);
    }
    if (op.other != nullptr) {
        text += " other " + Ptr(op.other);
    }
    if (!op.name.empty()) {
        text += " \"" + Utf8(op.name) + "\"";
    }
    if (!op.target.empty()) {
        text += " -> \"" + Utf8(op.target) + "\"";
    }
    if (!op.text.empty()) {
        text += " text \"" + op.text + "\"";
    }
    if (op.block != nullptr) {
        text += " block " + Ptr(op.block) + " tag " + Hex(op.tag) + " size " + std::to_string(op.size);
    }
    if (op.irp != nullptr) {
        text += " IRP " + Ptr(op.irp) + " major " + Hex(op.major) + " minor " + Hex(op.minor);
    }
    if (op.location != 0 || op.callerLocation != 0) {
        text += " at location " + std::to_string(op.location) + " (caller's " + std::to_string(op.callerLocation) + ")";
    }
    if (op.kind == KernelOp::Kind::CallDriver) {
        static const char *const kSent[] = {"by its creator", "skipped", "copied"};
        text += std::string(", ") + kSent[static_cast<int>(op.sent)];
    }
    if (op.kind == KernelOp::Kind::DispatchReturn) {
        text += " returned " + Hex(static_cast<ULONG>(op.status));
    }
    return text;
}

}  // namespace hk
