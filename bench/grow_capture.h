// A capture of N reports made from a small one, for timing replays of real size. The records of
// the small capture up to its first interrupt transfer (the enumeration) are copied as they are;
// then the interrupt-transfer records of the device that sends most reports are repeated, in order,
// until N of its completed interrupt-IN transfers with data are written, one every millisecond (a
// 1 kHz mouse). Read and written with libpcap; USBPcap and usbmon records alike.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace grow {

struct Record {
    pcap_pkthdr header;
    std::vector<u_char> bytes;
};

struct Look {
    bool interrupt = false;
    bool report = false;  // a completed interrupt-IN transfer with data
    uint32_t device = 0;  // bus << 16 | address
};

inline uint16_t Le16(const u_char *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Le32(const u_char *p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }

inline Look Inspect(int link, const Record &r) {
    Look look;
    const u_char *p = r.bytes.data();
    const size_t n = r.bytes.size();
    if (link == 249 && n >= 27) {
        look.interrupt = p[22] == 1;
        look.device = uint32_t(Le16(p + 17)) << 16 | Le16(p + 19);
        look.report = look.interrupt && (p[16] & 1) && (p[21] & 0x80) && Le32(p + 10) == 0 && Le32(p + 23) > 0;
    } else if ((link == 189 || link == 220) && n >= 48) {
        uint16_t bus;
        std::memcpy(&bus, p + 12, 2);
        int32_t status;
        std::memcpy(&status, p + 28, 4);
        uint32_t captured;
        std::memcpy(&captured, p + 36, 4);
        look.interrupt = p[9] == 1;
        look.device = uint32_t(bus) << 16 | p[11];
        look.report = look.interrupt && p[8] == 'C' && (p[10] & 0x80) && status == 0 && captured > 0;
    }
    return look;
}

// Writes `out` from `in` as above; returns the number of reports written, or an error message.
inline std::string GrowCapture(const char *inPath, const char *outPath, unsigned long long wanted, unsigned long long *written = nullptr) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *in = pcap_open_offline_with_tstamp_precision(inPath, PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (!in) return std::string(inPath) + ": " + errbuf;
    const int link = pcap_datalink(in);
    std::vector<Record> records;
    pcap_pkthdr *header = nullptr;
    const u_char *bytes = nullptr;
    int got;
    while ((got = pcap_next_ex(in, &header, &bytes)) == 1) records.push_back({*header, std::vector<u_char>(bytes, bytes + header->caplen)});
    if (got != PCAP_ERROR_BREAK) {
        std::string error = std::string(inPath) + ": record " + std::to_string(records.size() + 1) + ": " + pcap_geterr(in);
        pcap_close(in);
        return error;
    }
    pcap_close(in);

    std::map<uint32_t, size_t> reportsBy;
    size_t firstInterrupt = records.size();
    for (size_t i = 0; i < records.size(); ++i) {
        const Look look = Inspect(link, records[i]);
        if (look.interrupt && firstInterrupt == records.size()) firstInterrupt = i;
        if (look.report) ++reportsBy[look.device];
    }
    if (reportsBy.empty()) return std::string(inPath) + ": no completed interrupt-IN transfer to repeat";
    uint32_t device = reportsBy.begin()->first;
    for (const auto &[d, count] : reportsBy)
        if (count > reportsBy[device]) device = d;
    std::vector<const Record *> body;
    for (size_t i = firstInterrupt; i < records.size(); ++i) {
        const Look look = Inspect(link, records[i]);
        if (look.interrupt && look.device == device) body.push_back(&records[i]);
    }

    pcap_t *dead = pcap_open_dead_with_tstamp_precision(link, 262144, PCAP_TSTAMP_PRECISION_NANO);
    pcap_dumper_t *out = pcap_dump_open(dead, outPath);
    if (!out) {
        std::string error = std::string(outPath) + ": " + pcap_geterr(dead);
        pcap_close(dead);
        return error;
    }
    int64_t time = 0;  // nanoseconds
    for (size_t i = 0; i < firstInterrupt; ++i) {
        pcap_dump(reinterpret_cast<u_char *>(out), &records[i].header, records[i].bytes.data());
        time = int64_t(records[i].header.ts.tv_sec) * 1000000000 + records[i].header.ts.tv_usec;
    }
    unsigned long long count = 0;
    while (count < wanted) {
        for (const Record *r : body) {
            if (Inspect(link, *r).report) {
                if (count == wanted) break;
                ++count;
                time += 1000000;
            }
            pcap_pkthdr h = r->header;
            h.ts.tv_sec = time / 1000000000;
            h.ts.tv_usec = time % 1000000000;  // nanoseconds: the file's precision
            pcap_dump(reinterpret_cast<u_char *>(out), &h, r->bytes.data());
        }
    }
    pcap_dump_close(out);
    pcap_close(dead);
    if (written) *written = count;
    return "";
}

}  // namespace grow
