#include "capture_writer.h"

#include "formats.h"
#include "usbpcap.h"

#include "../../sim/usb_port.h"

#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace hct_sim {

namespace {

constexpr int kSnapLength = 262144;
constexpr uint8_t kIn = 0x80;
constexpr uint8_t kSetConfiguration = 0x09;

void Put(std::vector<uint8_t> &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

// The transfer buffer as the drivers see it: TransferBuffer, else the address the MDL describes.
const uint8_t *Buffer(const _URB_CONTROL_TRANSFER &t) {
    if (t.TransferBuffer != nullptr) return static_cast<const uint8_t *>(t.TransferBuffer);
    if (t.TransferBufferMDL != nullptr)
        return static_cast<const uint8_t *>(t.TransferBufferMDL->StartVa) + t.TransferBufferMDL->ByteOffset;
    return nullptr;
}

// Whether the URB's header says it holds the transfer fields (a control or bulk/interrupt record).
bool HoldsTransfer(const URB &urb) {
    const size_t length = sim::port::RecordLength(urb.UrbHeader.Function);
    return length != 0 && urb.UrbHeader.Length >= length;
}

}  // namespace

static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBufferLength) == offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength));
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBuffer) == offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer));
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL) == offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL));

namespace {

// The temporary files not yet renamed or removed, as plain bytes a signal handler may read.
constexpr int kUnfinishedSlots = 4;
struct Unfinished {
    std::atomic<bool> used{false};
    char path[PATH_MAX] = {};
};
Unfinished g_unfinished[kUnfinishedSlots];

void Track(const std::string &path, bool on) {
    for (Unfinished &slot : g_unfinished) {
        if (on && !slot.used.load() && path.size() < sizeof slot.path) {
            std::memcpy(slot.path, path.c_str(), path.size() + 1);
            slot.used.store(true);
            return;
        }
        if (!on && slot.used.load() && path == slot.path) {
            slot.used.store(false);
            return;
        }
    }
}

std::string Errno() { return std::strerror(errno); }

}  // namespace

CaptureWriter::CaptureWriter(const std::filesystem::path &path, int64_t timeBase) : path_(path.string()), timeBase_(timeBase) {
    auto fail = [&](const std::string &why) { throw InputError(path_, 0, "cannot write the capture: " + why); };
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) fail("it is a folder");
    struct stat st {};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    std::FILE *file = nullptr;
    if (exists && !S_ISREG(st.st_mode)) {
        file = std::fopen(path_.c_str(), "wb");
        if (file == nullptr) fail(Errno());
    } else {
        // Through a symbolic link the file it names is replaced, the link kept.
        const std::filesystem::path target = std::filesystem::weakly_canonical(path, ec);
        target_ = ec ? path_ : target.string();
        const std::filesystem::path folder = std::filesystem::path(target_).parent_path();
        std::string temporary = (folder / ("." + std::filesystem::path(target_).filename().string() + ".hct-sim-XXXXXX")).string();
        const int fd = ::mkstemp(temporary.data());
        if (fd < 0) fail(Errno());
        temporary_ = temporary;
        Track(temporary_, true);
        // The mode a new file gets (or the one replaced had), not mkstemp's 0600.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~mask));
        file = ::fdopen(fd, "wb");
        if (file == nullptr) {
            const std::string why = Errno();
            ::close(fd);
            Discard();
            fail(why);
        }
    }
    pcap_ = pcap_open_dead_with_tstamp_precision(usbpcap::kLinkType, kSnapLength, PCAP_TSTAMP_PRECISION_NANO);
    if (pcap_ != nullptr) dumper_ = pcap_dump_fopen(pcap_, file);
    // The file header goes out now: a file that takes no bytes fails here, before the session.
    if (dumper_ == nullptr || pcap_dump_flush(dumper_) != 0) {
        const std::string why = dumper_ == nullptr ? "libpcap cannot make a USBPcap writer" : Errno();
        if (dumper_) pcap_dump_close(dumper_);
        else std::fclose(file);
        dumper_ = nullptr;
        if (pcap_) pcap_close(pcap_);
        pcap_ = nullptr;
        Discard();
        fail(why);
    }
}

void CaptureWriter::Discard() {
    if (temporary_.empty()) return;
    ::unlink(temporary_.c_str());
    Track(temporary_, false);
    temporary_.clear();
}

CaptureWriter::~CaptureWriter() {
    if (dumper_) pcap_dump_close(dumper_);
    if (pcap_) pcap_close(pcap_);
    Discard();
}

void CaptureWriter::Close() {
    std::lock_guard lock(mutex_);
    if (dumper_ != nullptr) {
        std::FILE *file = pcap_dump_file(dumper_);
        if ((pcap_dump_flush(dumper_) != 0 || (!temporary_.empty() && ::fsync(fileno(file)) != 0)) && error_.empty()) error_ = Errno();
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    if (error_.empty() && !temporary_.empty()) {
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) error_ = "cannot put it in place: " + Errno();
        else {
            Track(temporary_, false);
            temporary_.clear();
        }
    }
    if (!error_.empty()) {
        Discard();
        throw InputError(path_, 0, "the capture could not be written whole after record " + std::to_string(records_) + ": " + error_ +
                                       " (the file is left as it was)");
    }
}

void RemoveUnfinishedOutputs() noexcept {
    for (Unfinished &slot : g_unfinished)
        if (slot.used.load()) ::unlink(slot.path);
}

void RefuseOutputThatIsAnInput(const std::string &option, const std::string &output,
                               const std::vector<std::pair<std::string, std::string>> &inputs) {
    struct stat out {};
    if (::stat(output.c_str(), &out) != 0) return;  // no such file yet: no input either
    struct stat link {};
    const bool symbolic = ::lstat(output.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    for (const auto &[inputOption, input] : inputs) {
        struct stat in {};
        if (::stat(input.c_str(), &in) != 0 || in.st_dev != out.st_dev || in.st_ino != out.st_ino) continue;
        std::error_code ec;
        const std::string how = symbolic                                             ? "a symbolic link to it"
                                : std::filesystem::equivalent(output, input, ec) &&
                                          std::filesystem::absolute(output, ec).lexically_normal() ==
                                              std::filesystem::absolute(input, ec).lexically_normal()
                                    ? "the same file"
                                    : "a hard link to it";
        throw InputError(output, 0, option + " names the input of " + inputOption + " " + input + " (" + how +
                                        "): writing it would destroy that input; give another file (nothing was read or written)");
    }
}

uint64_t CaptureWriter::Records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

void CaptureWriter::OnUrb(const sim::UrbEvent &e) {
    if (e.urb == nullptr) return;
    std::lock_guard lock(mutex_);
    if (dumper_ == nullptr || !error_.empty()) return;
    const unsigned bus = e.point == sim::UrbPoint::Bus ? kBusBelow : kBusAbove;
    if (e.stage == sim::UrbStage::Submit)
        Submit(bus, e);
    else
        Complete(bus, e);
}

// Down: a control transfer as its setup stage (USBPcap builds the setup packet of a descriptor,
// class or other request from the URB's fields, as the port driver will), then the data stage of an
// OUT transfer; SELECT_CONFIGURATION as the SET_CONFIGURATION it stands for; a bulk or interrupt
// transfer with its OUT data.
void CaptureWriter::Submit(unsigned bus, const sim::UrbEvent &e) {
    const URB &urb = *e.urb;
    const uint16_t function = urb.UrbHeader.Function;
    const uint32_t status = uint32_t(urb.UrbHeader.Status);
    const uint64_t id = IdOf(e.irp);
    Request r;
    r.function = function;
    if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        const auto &s = urb.UrbSelectConfiguration;
        const bool whole = urb.UrbHeader.Length >= sizeof(_URB_SELECT_CONFIGURATION);
        const uint8_t value = whole && s.ConfigurationDescriptor ? s.ConfigurationDescriptor->bConfigurationValue : 0;
        const std::array<uint8_t, 8> setup = {0x00, kSetConfiguration, value, 0, 0, 0, 0, 0};
        r.transfer = usbpcap::kTransferControl;
        Write(e.time, bus, id, status, function, false, 0x00, r.transfer, usbpcap::kStageSetup, setup.data(), setup.size());
    } else if (HoldsTransfer(urb) && function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const auto &t = urb.UrbControlTransfer;
        const std::array<uint8_t, 8> setup = sim::port::SetupOf(urb);
        const bool dataStage = (setup[6] | setup[7]) != 0;
        r.transfer = usbpcap::kTransferControl;
        r.in = (setup[0] & kIn) != 0;
        r.endpoint = r.in ? kIn : 0x00;
        r.capacity = dataStage && Buffer(t) ? t.TransferBufferLength : 0;
        Write(e.time, bus, id, status, function, false, 0x00, r.transfer, usbpcap::kStageSetup, setup.data(), setup.size());
        if (!r.in && r.capacity != 0)
            Write(e.time, bus, id, status, function, false, 0x00, r.transfer, usbpcap::kStageData, Buffer(t), r.capacity);
    } else if (HoldsTransfer(urb)) {
        const auto &t = urb.UrbBulkOrInterruptTransfer;
        const auto pipe = pipes_.find(t.PipeHandle);
        // Before a configuration is selected the mouse's reads can only be on its one interrupt pipe.
        const Pipe found = pipe != pipes_.end() ? pipe->second : Pipe{0x01, usbpcap::kTransferInterrupt};
        r.in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        r.endpoint = uint8_t((found.endpoint & 0x7F) | (r.in ? kIn : 0));
        r.transfer = found.transfer;
        r.capacity = Buffer(urb.UrbControlTransfer) ? t.TransferBufferLength : 0;
        const uint8_t *data = r.in ? nullptr : Buffer(urb.UrbControlTransfer);
        Write(e.time, bus, id, status, function, false, r.endpoint, r.transfer, -1, data, r.in ? 0 : r.capacity);
    } else {
        r.transfer = usbpcap::kTransferUnknown;
        Write(e.time, bus, id, status, function, false, 0x00, r.transfer, -1, nullptr, 0);
    }
    outstanding_[{bus, e.irp}] = r;
}

// Up: the URB as it is now (a converted request reads CONTROL_TRANSFER), with the data an IN
// transfer brought, at most the buffer it came down with.
void CaptureWriter::Complete(unsigned bus, const sim::UrbEvent &e) {
    const URB &urb = *e.urb;
    const auto it = outstanding_.find({bus, e.irp});
    if (it == outstanding_.end()) return;  // sent before the writer was attached
    const Request r = it->second;
    outstanding_.erase(it);
    const uint64_t id = ids_.at(e.irp);
    // Back in both views: the IRP's id is free, and so is its address for the next IRP.
    if (outstanding_.count({bus == kBusBelow ? kBusAbove : kBusBelow, e.irp}) == 0) ids_.erase(e.irp);
    const uint16_t function = urb.UrbHeader.Function;
    const uint32_t status = uint32_t(urb.UrbHeader.Status);
    const uint8_t *data = nullptr;
    size_t length = 0;
    if (r.in && r.capacity != 0 && HoldsTransfer(urb)) {
        data = Buffer(urb.UrbControlTransfer);
        length = data ? std::min<size_t>(urb.UrbControlTransfer.TransferBufferLength, r.capacity) : 0;
    }
    if (r.transfer == usbpcap::kTransferControl) {
        if (r.function == URB_FUNCTION_SELECT_CONFIGURATION) {
            if (NT_SUCCESS(e.status)) LearnPipes(&urb);
            Write(e.time, bus, id, status, function, true, 0x00, r.transfer, usbpcap::kStageComplete, nullptr, 0);
        } else if (length != 0) {
            Write(e.time, bus, id, status, function, true, r.endpoint, r.transfer, usbpcap::kStageData, data, length);
        } else {
            Write(e.time, bus, id, status, function, true, r.endpoint, r.transfer, usbpcap::kStageStatus, nullptr, 0);
        }
        return;
    }
    Write(e.time, bus, id, status, function, true, r.endpoint, r.transfer, -1, data, length);
}

// The pipe handles a completed SELECT_CONFIGURATION handed out, and the endpoints they stand for,
// read within the URB's header Length.
void CaptureWriter::LearnPipes(const void *p) {
    const auto &s = static_cast<const URB *>(p)->UrbSelectConfiguration;
    const size_t total = s.Hdr.Length;
    if (total < sizeof(_URB_SELECT_CONFIGURATION) || s.ConfigurationDescriptor == nullptr) return;
    const auto *bytes = static_cast<const uint8_t *>(p);
    size_t at = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (unsigned n = 0; n < s.ConfigurationDescriptor->bNumInterfaces; ++n) {
        if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > total) return;
        const auto &info = *reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(bytes + at);
        if (info.Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info.Length > total) return;
        const size_t room = (info.Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
        for (size_t k = 0; k < std::min<size_t>(info.NumberOfPipes, room); ++k) {
            const USBD_PIPE_INFORMATION &pipe = info.Pipes[k];
            const uint8_t transfer = pipe.PipeType == UsbdPipeTypeInterrupt ? usbpcap::kTransferInterrupt
                                     : pipe.PipeType == UsbdPipeTypeBulk    ? usbpcap::kTransferBulk
                                     : pipe.PipeType == UsbdPipeTypeIsochronous ? usbpcap::kTransferIsochronous
                                                                                : usbpcap::kTransferControl;
            pipes_[pipe.PipeHandle] = Pipe{pipe.EndpointAddress, transfer};
        }
        at += info.Length;
    }
}

uint64_t CaptureWriter::IdOf(const void *irp) {
    const auto [it, added] = ids_.try_emplace(irp, lastId_ + 1);
    if (added) ++lastId_;
    return it->second;
}

void CaptureWriter::Write(int64_t time, unsigned bus, uint64_t irp, uint32_t status, uint16_t function, bool up,
                          uint8_t endpoint, uint8_t transfer, int stage, const uint8_t *data, size_t length) {
    using namespace usbpcap;
    if (data == nullptr) length = 0;
    record_.clear();
    Put(record_, stage >= 0 ? kControlHeader : kHeader, 2);
    Put(record_, irp, 8);
    Put(record_, status, 4);
    Put(record_, function, 2);
    Put(record_, up ? kInfoCompletion : 0, 1);
    Put(record_, bus, 2);
    Put(record_, kDeviceAddress, 2);
    Put(record_, endpoint, 1);
    Put(record_, transfer, 1);
    Put(record_, length, 4);
    if (stage >= 0) Put(record_, uint8_t(stage), 1);
    if (length != 0) record_.insert(record_.end(), data, data + length);

    const __int128 stamp = __int128(time) * 100 + timeBase_;
    constexpr int64_t kSecond = 1000000000;
    pcap_pkthdr header{};
    header.ts.tv_sec = time_t(stamp / kSecond);
    header.ts.tv_usec = suseconds_t(stamp % kSecond);  // nanoseconds: the file says so in its magic
    header.caplen = header.len = bpf_u_int32(record_.size());
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &header, record_.data());
    if (std::ferror(pcap_dump_file(dumper_))) {
        error_ = std::strerror(errno);
        return;
    }
    ++records_;
}

}  // namespace hct_sim
