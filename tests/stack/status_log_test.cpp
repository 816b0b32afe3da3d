// The USB status log against its whole table: every one of the 24 codes with its exact text (line
// feed at the end included), every code one bit away from a table code, and the unknown-code line
// (lower-case hexadecimal, no line end), through LogUrbStatus itself (the probe's rows in
// start_test.cpp show the line reaching the start's trace). The table is written out here, row by
// row, in the order the codes are compared.
#include "stack_fixture.h"

#include <set>

namespace stack {
namespace {

struct Row {
    ULONG code;
    const char *text;
};

constexpr Row kTable[] = {
    {0x00000000, "The URB status = USBD_STATUS_SUCCESS , Operation succeed !! \n"},
    {0xC0000003, "The URB status = USBD_STATUS_DATA_TOGGLE_MISMATCH , Error !! \n"},
    {0xC0000004, "The URB status = USBD_STATUS_STALL_PID , Error !! \n"},
    {0xC0000005, "The URB status = USBD_STATUS_DEV_NOT_RESPONDING , Error !! \n"},
    {0xC0000006, "The URB status = USBD_STATUS_PID_CHECK_FAILURE , Error !! \n"},
    {0xC0000008, "The URB status = USBD_STATUS_DATA_OVERRUN , Error !! \n"},
    {0xC0000009, "The URB status = USBD_STATUS_DATA_UNDERRUN , Error !! \n"},
    {0xC000000C, "The URB status = USBD_STATUS_BUFFER_OVERRUN , Error !! \n"},
    {0xC000000D, "The URB status = USBD_STATUS_BUFFER_UNDERRUN , Error !! \n"},
    {0xC000000F, "The URB status = USBD_STATUS_NOT_ACCESSED , Error !! \n"},
    {0xC0000030, "The URB status = USBD_STATUS_ENDPOINT_HALTED , Error !! \n"},
    {0x80000100, "The URB status = USBD_STATUS_NO_MEMORY , Error !! \n"},
    {0x80000200, "The URB status = USBD_STATUS_INVALID_URB_FUNCTION , Error !! \n"},
    {0x80000300, "The URB status = USBD_STATUS_INVALID_PARAMETER , Error !! \n"},
    {0x80000400, "The URB status = USBD_STATUS_ERROR_BUSY , Error !! \n"},
    {0x80000500, "The URB status = USBD_STATUS_REQUEST_FAILED , Error !! \n"},
    {0x80000600, "The URB status = USBD_STATUS_INVALID_PIPE_HANDLE , Error !! \n"},
    {0x80000700, "The URB status = USBD_STATUS_NO_BANDWIDTH , Error !! \n"},
    {0x80000800, "The URB status = USBD_STATUS_INTERNAL_HC_ERROR , Error !! \n"},
    {0x80000900, "The URB status = USBD_STATUS_ERROR_SHORT_TRANSFER , Error !! \n"},
    {0xC0000A00, "The URB status = USBD_STATUS_BAD_START_FRAME , Error !! \n"},
    {0x00010000, "The URB status = USBD_STATUS_CANCELED , Error !! \n"},
    {0x00020000, "The URB status = USBD_STATUS_CANCELING , Error !! \n"},
    {0x40000000, "The URB status = USBD_STATUS_PENDING , Please wait the completion of the operation !! \n"},
};
static_assert(sizeof(kTable) / sizeof(kTable[0]) == 24);

std::string Unknown(ULONG code)
{
    char text[64];
    snprintf(text, sizeof text, "Unknown Error Code, Code = 0x%x", static_cast<unsigned>(code));
    return text;
}

// The line the table gives a code: its row's text, else the unknown-code line.
std::string Expected(ULONG code)
{
    for (const Row &row : kTable)
        if (row.code == code)
            return row.text;
    return Unknown(code);
}

class StatusLogTest : public StackTest {};

TEST_F(StatusLogTest, EveryRowItsOwnTextAndEveryNeighbourTheUnknownLine)
{
    // The table's shape, as its texts promise it: one prefix, a blank before the comma, a line feed
    // at the end, and no two rows alike.
    std::set<std::string> texts;
    for (const Row &row : kTable) {
        const std::string t = row.text;
        EXPECT_EQ(t.rfind("The URB status = USBD_STATUS_", 0), 0u) << t;
        EXPECT_EQ(t.substr(t.size() - 5), " !! \n") << t;
        EXPECT_NE(t.find(" , "), std::string::npos) << t;
        EXPECT_TRUE(texts.insert(t).second) << t;
    }

    std::vector<ULONG> codes;
    for (const Row &row : kTable) {
        codes.push_back(row.code);
        for (int bit = 0; bit < 32; bit++)
            codes.push_back(row.code ^ (1u << bit));  // one bit away: the state bits, the low word, the high word
    }
    for (ULONG code : {0x00000003u, 0xC0000001u, 0xC0000007u, 0xC0010000u, 0xC0020000u, 0x80000A00u, 0x80000000u,
                       0xC0000000u, 0xFFFFFFFFu, 0x00000010u, 0x0000000Au})
        codes.push_back(code);

    size_t unknown = 0;
    for (ULONG code : codes) {
        const size_t mark = TraceMark();
        LogUrbStatus(static_cast<USBD_STATUS>(code));
        const std::string expected = Expected(code);
        unknown += expected.rfind("Unknown", 0) == 0;
        EXPECT_EQ(TraceSince(mark), (Lines{expected})) << std::hex << code;
    }
    EXPECT_GT(unknown, 24u * 30);
}

}  // namespace
}  // namespace stack
