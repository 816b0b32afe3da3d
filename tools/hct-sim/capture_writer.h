// The URBs of a simulated session as a USB capture that Wireshark opens: a pcap file of link type
// USBPcap (249), written with libpcap, one record as a URB goes down and one as it comes back, as
// USBPcap records them at a device's PDO. The file holds two views of the one mouse, told apart by
// the bus number: bus 1 is what the bus driver received and completed (below the filter), bus 2
// what the class driver sent and got back (above it). The records go to a temporary file beside the
// one named, renamed into its place only when the session is done and the file complete: a session
// that fails, or is interrupted, leaves the named file as it was. Nothing of the session is kept in
// memory but the requests still outstanding.
#pragma once

#include "../../sim/urb_tap.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace hct_sim {

class CaptureWriter final : public sim::UrbTap {
public:
    static constexpr unsigned kBusBelow = 1;  // the bus driver's view
    static constexpr unsigned kBusAbove = 2;  // the class driver's view
    static constexpr unsigned kDeviceAddress = 1;

    // Starts the temporary file beside `path` (through a symbolic link: beside the file it names);
    // a device or pipe (/dev/stdout, a FIFO) is written directly, it holds no file to lose. An
    // InputError naming `path` when it cannot be written. `timeBase`: nanoseconds since 1970 that
    // virtual time 0 stands for. Destroyed without Close(), the temporary file is removed.
    explicit CaptureWriter(const std::filesystem::path &path, int64_t timeBase = 0);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    void OnUrb(const sim::UrbEvent &event) override;

    // Closes the file and renames it into place; an InputError naming it when a record could not be
    // written (the temporary file is then removed and the named file left as it was).
    void Close();
    uint64_t Records() const;
    const std::string &Path() const { return path_; }

private:
    struct Request {
        uint16_t function = 0;
        uint8_t transfer = 0;
        uint8_t endpoint = 0;  // of the data: 0x80 set for IN
        bool in = false;
        uint32_t capacity = 0;  // the buffer's length as the request came down
    };
    struct Pipe {
        uint8_t endpoint = 0;
        uint8_t transfer = 0;
    };
    void Submit(unsigned bus, const sim::UrbEvent &e);
    void Complete(unsigned bus, const sim::UrbEvent &e);
    void LearnPipes(const void *urb);
    void Discard();  // removes the temporary file
    uint64_t IdOf(const void *irp);
    void Write(int64_t time, unsigned bus, uint64_t irp, uint32_t status, uint16_t function, bool up,
               uint8_t endpoint, uint8_t transfer, int stage, const uint8_t *data, size_t length);

    mutable std::mutex mutex_;
    std::string path_;
    std::string temporary_;  // empty: writing to path_ itself (a device or pipe), or done
    std::string target_;     // what temporary_ is renamed to: path_ with its links resolved
    int64_t timeBase_;
    pcap *pcap_ = nullptr;
    pcap_dumper *dumper_ = nullptr;
    std::string error_;  // the first write that failed
    uint64_t records_ = 0;
    std::map<std::pair<unsigned, const void *>, Request> outstanding_;  // by view and IRP
    // The id each IRP outstanding in either view is written with: the next number of a counter,
    // given when the IRP first goes down, so that two runs of one session write the same bytes
    // (an IRP's address differs from run to run, and a freed one's comes back for the next).
    std::map<const void *, uint64_t> ids_;
    uint64_t lastId_ = 0;
    std::map<const void *, Pipe> pipes_;  // pipe handles SELECT_CONFIGURATION handed out
    std::vector<uint8_t> record_;         // reused for every record
};

// An output file that is one of the inputs of the same run (the same file, a hard link to it, or a
// symbolic link to it: the same device and inode once links are followed) is refused with an
// InputError naming both, before anything is read or written. `inputs`: option and path of each.
void RefuseOutputThatIsAnInput(const std::string &option, const std::string &output,
                               const std::vector<std::pair<std::string, std::string>> &inputs);

// Removes the temporary file of every CaptureWriter not yet closed. Async-signal-safe: for a signal
// handler (Ctrl-C) before the process ends.
void RemoveUnfinishedOutputs() noexcept;

}  // namespace hct_sim
