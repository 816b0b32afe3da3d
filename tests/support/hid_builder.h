// Builds HID report descriptors in tests from items that read like the HID item list:
//
//   hid::Descriptor mouse{hid::UsagePage(0x01), hid::Usage(0x02), hid::Collection(hid::kApplication),
//                         hid::Usage(0x30), hid::ReportSize(8), hid::ReportCount(1),
//                         hid::Input(hid::kDataVarRel), hid::EndCollection()};
//
// Each helper yields the bytes of one item. A Descriptor remembers where each item starts, so
// tests can cut a descriptor inside an item and compare with a cut at the item's start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace hid {

using Bytes = std::vector<uint8_t>;

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

// Input/Output/Feature flags and collection kinds.
constexpr uint8_t kConstant = 0x01;
constexpr uint8_t kDataVarAbs = 0x02;
constexpr uint8_t kDataVarRel = 0x06;
constexpr uint8_t kPhysical = 0x00;
constexpr uint8_t kApplication = 0x01;

// A short item with 0, 1, 2 or 4 data bytes, the value little-endian.
inline Bytes ShortItem(ItemType type, uint8_t tag, uint32_t value, unsigned dataBytes)
{
    const uint8_t sizeCode = dataBytes == 4 ? 3 : static_cast<uint8_t>(dataBytes);
    Bytes item{static_cast<uint8_t>((tag << 4) | (type << 2) | sizeCode)};
    for (unsigned i = 0; i < dataBytes; i++)
        item.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return item;
}

// Main items.
inline Bytes Input(uint8_t flags) { return ShortItem(kMain, 0x8, flags, 1); }
inline Bytes Output(uint8_t flags) { return ShortItem(kMain, 0x9, flags, 1); }
inline Bytes Feature(uint8_t flags) { return ShortItem(kMain, 0xB, flags, 1); }
inline Bytes Collection(uint8_t kind) { return ShortItem(kMain, 0xA, kind, 1); }
inline Bytes EndCollection() { return ShortItem(kMain, 0xC, 0, 0); }

// Global items.
inline Bytes UsagePage(uint8_t page) { return ShortItem(kGlobal, 0x0, page, 1); }
inline Bytes UsagePage16(uint16_t page) { return ShortItem(kGlobal, 0x0, page, 2); }
inline Bytes LogicalMinimum(int8_t v) { return ShortItem(kGlobal, 0x1, static_cast<uint8_t>(v), 1); }
inline Bytes LogicalMaximum(int8_t v) { return ShortItem(kGlobal, 0x2, static_cast<uint8_t>(v), 1); }
inline Bytes LogicalMaximum32(uint32_t v) { return ShortItem(kGlobal, 0x2, v, 4); }
inline Bytes ReportSize(uint8_t bits) { return ShortItem(kGlobal, 0x7, bits, 1); }
inline Bytes ReportSize16(uint16_t bits) { return ShortItem(kGlobal, 0x7, bits, 2); }
inline Bytes ReportSizeNoData() { return ShortItem(kGlobal, 0x7, 0, 0); }
inline Bytes ReportId(uint8_t id) { return ShortItem(kGlobal, 0x8, id, 1); }
inline Bytes ReportCount(uint8_t count) { return ShortItem(kGlobal, 0x9, count, 1); }
inline Bytes ReportCount16(uint16_t count) { return ShortItem(kGlobal, 0x9, count, 2); }
inline Bytes ReportCountNoData() { return ShortItem(kGlobal, 0x9, 0, 0); }

// Local items.
inline Bytes Usage(uint8_t usage) { return ShortItem(kLocal, 0x0, usage, 1); }
inline Bytes Usage16(uint16_t usage) { return ShortItem(kLocal, 0x0, usage, 2); }
inline Bytes Usage32(uint32_t pageAndUsage) { return ShortItem(kLocal, 0x0, pageAndUsage, 4); }
inline Bytes UsageMinimum(uint8_t usage) { return ShortItem(kLocal, 0x1, usage, 1); }
inline Bytes UsageMaximum(uint8_t usage) { return ShortItem(kLocal, 0x2, usage, 1); }

// A long item: prefix 0xFE, bDataSize, bLongItemTag, then the data.
inline Bytes LongItem(uint8_t tag, const Bytes &data)
{
    Bytes item{0xFE, static_cast<uint8_t>(data.size()), tag};
    item.insert(item.end(), data.begin(), data.end());
    return item;
}

// A reserved short item (bType 3); with tag 0xF it must not have bSize 2, which is the long item.
inline Bytes ReservedItem(uint8_t tag = 0x0, unsigned dataBytes = 0)
{
    return ShortItem(kReserved, tag, 0, dataBytes);
}

inline Bytes Raw(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

class Descriptor {
public:
    Descriptor(std::initializer_list<Bytes> items) : items_(items) {}

    Descriptor &Add(std::initializer_list<Bytes> items)
    {
        items_.insert(items_.end(), items);
        return *this;
    }

    Bytes bytes() const
    {
        Bytes all;
        for (const Bytes &item : items_)
            all.insert(all.end(), item.begin(), item.end());
        return all;
    }

    // Byte offset at which each item starts.
    std::vector<size_t> itemStarts() const
    {
        std::vector<size_t> starts;
        size_t at = 0;
        for (const Bytes &item : items_) {
            starts.push_back(at);
            at += item.size();
        }
        return starts;
    }

private:
    std::vector<Bytes> items_;
};

// A heap block of exactly `count` bytes, so that a read one past the end is caught by the address
// sanitizer (a vector may hold spare capacity behind its data).
inline std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t *data, size_t count)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[count == 0 ? 1 : count]);
    for (size_t i = 0; i < count; i++)
        copy[i] = data[i];
    return copy;
}

}  // namespace hid
