// HID report descriptor walk: finds the X, Y, wheel and AC pan fields of the mouse's input report.
//
// Runs inside a URB completion routine (up to DISPATCH_LEVEL): one pass, no allocation, every piece
// of working state in this frame. The descriptor comes straight from the device, so every byte is
// bounds-checked before it is read and no content is treated as an error.
#include "report/report.h"

namespace hct_report {
namespace {

enum class UsageKind : uint8_t { Other, X, Y, Wheel, AcPan, Count };
enum class UsagePage : uint8_t { None, GenericDesktop, Consumer, Other };

constexpr uint32_t kUsageQueueEntries = 64;

constexpr uint8_t kTypeMain = 0;
constexpr uint8_t kTypeGlobal = 1;
constexpr uint8_t kTypeLocal = 2;
constexpr uint8_t kTypeReserved = 3;

constexpr uint8_t kTagInput = 0x8;
constexpr uint8_t kTagCollection = 0xA;
constexpr uint8_t kTagUsagePage = 0x0;
constexpr uint8_t kTagReportSize = 0x7;
constexpr uint8_t kTagReportCount = 0x9;
constexpr uint8_t kTagUsage = 0x0;

constexpr uint8_t kLongItemPrefix = 0xFE;
constexpr uint32_t kLongItemHeaderBytes = 3;  // prefix, bDataSize, bLongItemTag

constexpr uint8_t kPageGenericDesktop = 0x01;
constexpr uint8_t kPageConsumer = 0x0C;
constexpr uint8_t kUsageX = 0x30;
constexpr uint8_t kUsageY = 0x31;
constexpr uint8_t kUsageWheel = 0x38;
constexpr uint16_t kUsageAcPan = 0x0238;

// TotalSize is the bit position rounded up to a byte; the walk keeps the position low enough that
// the rounding cannot wrap, so every located field always lies inside TotalSize.
constexpr uint32_t kMaxBitPosition = 0xFFFFFFFFu - 7;

struct FieldPlace {
    uint32_t offset;
    uint32_t size;
};

struct Walk {
    uint32_t bitPosition;
    uint32_t reportSize;
    uint32_t reportCount;
    UsagePage usagePage;
    uint32_t queued;
    UsageKind queue[kUsageQueueEntries];
    FieldPlace found[static_cast<uint32_t>(UsageKind::Count)];
};

struct Item {
    uint8_t type;
    uint8_t tag;
    uint8_t dataSize;    // 0, 1, 2 or 4 for a short item
    bool isLong;
    const uint8_t *data;  // dataSize bytes, all inside the descriptor
    uint32_t totalBytes;  // prefix included
};

enum class Next : uint8_t { Continue, EndWalk };

using ItemAction = Next (*)(Walk &, const Item &);

// Decodes the item at `position`. Returns false when the item does not fit in the bytes left: its
// header or data would run past the end. Such an item is not acted on and the walk ends there, as
// at a reserved item; a device that sends a descriptor cut short still gets the fields it declared
// before the cut, and nothing past `length` is ever read.
bool FetchItem(const uint8_t *data, uint32_t length, uint32_t position, Item *item)
{
    const uint32_t left = length - position;  // the caller keeps position < length
    const uint8_t prefix = data[position];

    if (prefix == kLongItemPrefix) {
        if (left < kLongItemHeaderBytes)
            return false;
        const uint32_t dataSize = data[position + 1];
        if (dataSize > left - kLongItemHeaderBytes)
            return false;
        item->type = kTypeReserved;
        item->tag = 0xF;
        item->dataSize = 0;  // its data is never looked at
        item->isLong = true;
        item->data = nullptr;
        item->totalBytes = kLongItemHeaderBytes + dataSize;
        return true;
    }

    static constexpr uint8_t kDataBytes[4] = {0, 1, 2, 4};
    const uint8_t dataSize = kDataBytes[prefix & 0x3];
    if (dataSize > left - 1)
        return false;
    item->type = static_cast<uint8_t>((prefix >> 2) & 0x3);
    item->tag = static_cast<uint8_t>(prefix >> 4);
    item->dataSize = dataSize;
    item->isLong = false;
    item->data = data + position + 1;
    item->totalBytes = 1u + dataSize;
    return true;
}

// Report Size and Report Count take their first data byte only. Without data bytes the value is 0,
// as the HID item rules give an item with bSize 0 the value 0.
uint32_t FirstDataByte(const Item &item)
{
    return item.dataSize != 0 ? item.data[0] : 0u;
}

Next Ignore(Walk &, const Item &)
{
    return Next::Continue;
}

Next EndWalk(Walk &, const Item &)
{
    return Next::EndWalk;
}

Next MainInput(Walk &walk, const Item &)
{
    const uint64_t bits = static_cast<uint64_t>(walk.reportSize) * walk.reportCount;
    if (bits > kMaxBitPosition - walk.bitPosition)
        return Next::EndWalk;  // only a descriptor far beyond anything a control transfer carries

    const uint32_t located = walk.reportCount < walk.queued ? walk.reportCount : walk.queued;
    for (uint32_t i = 0; i < located; i++) {
        const UsageKind kind = walk.queue[i];
        if (kind != UsageKind::Other) {
            FieldPlace &place = walk.found[static_cast<uint32_t>(kind)];
            place.offset = walk.bitPosition + i * walk.reportSize;
            place.size = walk.reportSize;
        }
    }
    walk.bitPosition += static_cast<uint32_t>(bits);
    walk.queued = 0;
    return Next::Continue;
}

Next MainCollection(Walk &walk, const Item &)
{
    walk.queued = 0;
    return Next::Continue;
}

Next GlobalUsagePage(Walk &walk, const Item &item)
{
    walk.usagePage = UsagePage::Other;
    if (item.dataSize == 1) {
        if (item.data[0] == kPageGenericDesktop)
            walk.usagePage = UsagePage::GenericDesktop;
        else if (item.data[0] == kPageConsumer)
            walk.usagePage = UsagePage::Consumer;
    }
    return Next::Continue;
}

Next GlobalReportSize(Walk &walk, const Item &item)
{
    walk.reportSize = FirstDataByte(item);
    return Next::Continue;
}

Next GlobalReportCount(Walk &walk, const Item &item)
{
    walk.reportCount = FirstDataByte(item);
    return Next::Continue;
}

UsageKind ClassifyUsage(UsagePage page, const Item &item)
{
    if (item.dataSize == 1 && page == UsagePage::GenericDesktop) {
        switch (item.data[0]) {
        case kUsageX: return UsageKind::X;
        case kUsageY: return UsageKind::Y;
        case kUsageWheel: return UsageKind::Wheel;
        default: return UsageKind::Other;
        }
    }
    if (item.dataSize == 2 && page == UsagePage::Consumer &&
        item.data[0] == (kUsageAcPan & 0xFF) && item.data[1] == (kUsageAcPan >> 8))
        return UsageKind::AcPan;
    return UsageKind::Other;
}

// A descriptor may list more Usage items before one main item than the queue holds. The queue keeps
// the first 64 and refuses the rest, and the walk goes on. Ending the walk instead would lose every
// Input field declared afterwards: TotalSize would come out short, so every report of such a device
// would fail the length test, and the X, Y, wheel and pan fields of later collections would be
// missed. A refused usage could only have named the 65th or later field of one main item, which no
// mouse's wheel or pan is.
Next LocalUsage(Walk &walk, const Item &item)
{
    if (walk.queued < kUsageQueueEntries)
        walk.queue[walk.queued++] = ClassifyUsage(walk.usagePage, item);
    return Next::Continue;
}

struct ItemTable {
    ItemAction action[4][16];
};

constexpr ItemTable MakeItemTable()
{
    ItemTable table{};
    for (auto &row : table.action)
        for (auto &action : row)
            action = Ignore;
    // Output, Feature, End Collection and the reserved main tags leave the queue as it is: a usage
    // queued before them is taken by the next Input item's first field.
    table.action[kTypeMain][kTagInput] = MainInput;
    table.action[kTypeMain][kTagCollection] = MainCollection;
    table.action[kTypeGlobal][kTagUsagePage] = GlobalUsagePage;
    table.action[kTypeGlobal][kTagReportSize] = GlobalReportSize;
    table.action[kTypeGlobal][kTagReportCount] = GlobalReportCount;
    table.action[kTypeLocal][kTagUsage] = LocalUsage;
    // Reserved short items have no defined length beyond their bSize and no meaning: stop trusting
    // the rest of the descriptor. Long items are stepped over before the table is consulted.
    for (auto &action : table.action[kTypeReserved])
        action = EndWalk;
    return table;
}

constexpr ItemTable kItems = MakeItemTable();

}  // namespace

bool ParseLayout(const uint8_t *data, uint32_t length, REPORT_LAYOUT *layout)
{
    if (data == nullptr || length == 0 || layout == nullptr)
        return false;

    Walk walk = {};
    uint32_t position = 0;
    while (position < length) {
        Item item;
        if (!FetchItem(data, length, position, &item))
            break;
        if (!item.isLong && kItems.action[item.type][item.tag](walk, item) == Next::EndWalk)
            break;
        position += item.totalBytes;
    }

    const FieldPlace *found = walk.found;
    // Report completions on other processors read these without a lock: plain stores, in the
    // record's order.
    layout->TotalSize = (walk.bitPosition + 7) & ~7u;
    layout->XSize = found[static_cast<uint32_t>(UsageKind::X)].size;
    layout->XOffset = found[static_cast<uint32_t>(UsageKind::X)].offset;
    layout->YSize = found[static_cast<uint32_t>(UsageKind::Y)].size;
    layout->YOffset = found[static_cast<uint32_t>(UsageKind::Y)].offset;
    layout->WheelSize = found[static_cast<uint32_t>(UsageKind::Wheel)].size;
    layout->WheelOffset = found[static_cast<uint32_t>(UsageKind::Wheel)].offset;
    layout->AcPanSize = found[static_cast<uint32_t>(UsageKind::AcPan)].size;
    layout->AcPanOffset = found[static_cast<uint32_t>(UsageKind::AcPan)].offset;
    return true;
}

}  // namespace hct_report
