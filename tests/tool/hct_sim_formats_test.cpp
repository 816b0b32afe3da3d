// hct-sim's input formats: descriptors and reports as people paste them, hid-recorder recordings,
// and the report lengths a descriptor makes the device send.
#include "tools/hct-sim/formats.h"
#include "tools/hct-sim/paste.h"

#include "tests/tool/cli_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

using hct_sim::Bytes;
using hct_sim::InputError;

// The error's "file:line: message", or a note that nothing was thrown.
template <typename F>
std::string ErrorOf(F &&parse) {
    try {
        parse();
    } catch (const InputError &e) {
        return e.what();
    }
    return "(no error)";
}

// Each form a descriptor is pasted in, as the tools themselves print it: tests/tool/paste/make-inputs.sh
// made each file from one of the raw descriptors beside it. A file is read as its form and gives
// that descriptor's bytes, or is refused with the message the row gives (as is hex text with a
// mistake, named at its line).
TEST(Paste, EachToolsOutputIsReadAsItsFormAndGivesTheBytesItWasMadeFrom) {
    using hct_sim::PasteForm;
    const std::string dir = HCT_PASTE_DIR "/";
    const auto contents = [&](const std::string &name) {
        std::ifstream in(dir + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // Each form of both descriptors (NAME.FORM.txt made from NAME.bin), then forms of one alone.
    const struct {
        std::string file;  // ".FORM.txt" for both descriptors
        PasteForm form;
        const char *warning = "";
    } read[] = {
        {".hex.txt", PasteForm::HexText},
        {".wireshark.txt", PasteForm::WiresharkDump},
        {".wireshark-no-ascii.txt", PasteForm::WiresharkDump},
        {".od-ax.txt", PasteForm::OdDump},
        {".od.txt", PasteForm::OdDump},
        {".hexdump-c.txt", PasteForm::HexdumpDump},
        {".hexdump-c-cut.txt", PasteForm::HexdumpDump, "dump-without-ascii"},
        {".xxd.txt", PasteForm::XxdDump},
        {".xxd-i.txt", PasteForm::CArray},
        {".c-array.txt", PasteForm::CArray},
        {".usbhid-dump.txt", PasteForm::UsbhidDump},
        {".python-list.txt", PasteForm::List, "decimal-numbers"},
        {".python-hex-list.txt", PasteForm::List},
        {".js-json.txt", PasteForm::List, "decimal-numbers"},
        {".bytes-literal.txt", PasteForm::BytesLiteral},
        {".hid-recorder.txt", PasteForm::Recording},
        {".utf16.txt", PasteForm::HexText},
        {"mouse.js-list.txt", PasteForm::List, "decimal-numbers"},
        {"mouse.hex-comments.txt", PasteForm::HexText},
    };
    for (const auto &r : read) {
        for (const std::string name : {"mouse", "mouse-id"}) {
            const std::string file = r.file[0] == '.' ? name + r.file : r.file;
            if (file.rfind(name + ".", 0) != 0) continue;
            SCOPED_TRACE(file);
            hct_sim::Paste paste;
            EXPECT_EQ(ErrorOf([&] { paste = hct_sim::ReadPaste(contents(file), file); }), "(no error)");
            EXPECT_EQ(paste.form, r.form);
            const std::string bytes = contents(name + ".bin");
            EXPECT_EQ(paste.bytes, Bytes(bytes.begin(), bytes.end()));
            EXPECT_EQ(paste.warnings.empty() ? "" : paste.warnings[0].code, r.warning);
        }
    }
    const struct {
        const char *file;
        bool binary;  // given as raw bytes (--binary)
        std::string error;  // after "file:": a line number, or a blank, then the message
        const char *text = nullptr;  // hex text with a mistake, read instead of the file
    } refused[] = {
        {"odd.txt", false, "2: odd number of hex digits in \"2\": write each byte as two digits", "05 01\n09 2\n"},
        {"big.txt", false, "3: \"0x100\" is above 0xff: a byte is 0x00 to 0xff", "05\n\n0x05, 0x100,"},
        {"ox.txt", false, "1: \"0x\" is not a hex byte", "0x"},
        {"open.txt", false, "2: comment \"/*\" is never closed", "05\n/* open"},
        {"bad-offset.xxd.txt", false,
         " an xxd dump: line 4: offset 00000040 does not follow from the 48 bytes before it: a line of the dump is "
         "missing or was cut"},
        {"mouse-id.js-list.txt", false,
         "11: the list was cut: \"... 4 more items\" stands for bytes it does not show (node's console.log shows the "
         "first 100 items of an array): print it whole, with console.log(JSON.stringify(list))"},
        {"mouse-raw.dat", false,
         " binary data, not text (byte 0x05 at offset 0): it begins as a report descriptor does (a Usage Page item); "
         "give --binary to read its raw bytes"},
        {"mouse.xxd.txt", true,
         " the file is text, an xxd dump of 63 bytes, not raw bytes; it was read as raw bytes as --binary asks: leave out --binary"},
        {"mouse-id.xxd.RDESC", false,
         " the file is text, an xxd dump of 104 bytes, not raw bytes; it was read as raw bytes for its name ends in .RDESC: "
         "rename it (to .txt) to have it read as text"},
        {"repeated.od-an.txt", false,
         "6: a \"*\" line, which od and hexdump write for lines that repeat the line before, in a dump without its offset "
         "column: nothing tells how many lines it stands for; give od -An -v -tx1, or keep the offsets (od -Ax -tx1, hexdump -C)"},
        {"missing.txt", false, " cannot open: No such file or directory"},
        {"empty.txt", false, " empty descriptor: no hex bytes found"},
        {"lsusb.txt", false,
         "1: \"Report\" is not a hex byte; the text is none of the forms read (line 1 begins \"Report Descriptor: (leng...\"): "
         "hex bytes (05 01 09 02 or 05010902), a C array of 0x05 (xxd -i), a Python or JavaScript list ([0x05, 0x01]), "
         "a b'\\x05\\x01' literal, the hex dumps of Wireshark (Copy as Hex Dump), od -tx1, hexdump -C and xxd, "
         "usbhid-dump output, or a hid-recorder recording (R: line)"},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(ErrorOf([&] { r.text ? hct_sim::ParseHexDescriptor(r.text, dir + r.file) : hct_sim::LoadDescriptor(dir + r.file, r.binary); }),
                  dir + r.file + ":" + r.error);
    }
}

TEST(ReportLines, RefuseEmptyReportsAndEmptyFiles) {
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseReportLines("01\n , \n", "r.txt"); }), "r.txt:2: report of no bytes");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseReportLines("# only a comment\n", "r.txt"); }),
              "r.txt: no reports: write one report per line, as hex bytes");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseReportWord("", "report argument 1"); }), "report argument 1: report of no bytes");
}

using ReportFiles = tooltest::TempDirTest;

// A file is read a line at a time: a block commented out over many lines is looked at once per line
// (the run would not end in the test's time if each line searched the block again), and the lines
// after it keep their numbers, as they do when the same text is read whole.
TEST_F(ReportFiles, ALongCommentedOutBlockIsReadOnceAndLinesAfterItKeepTheirNumbers) {
    std::string text = "00 03 fe 00 01 /* taken out:\n";
    for (int i = 0; i < 200000; ++i) text += "00 00 00 00 ff * 2\n";
    text += "*/ 01 // back\n";
    const std::string good = File("good.txt", text);
    const std::string bad = File("bad.txt", text + "\n0g\n");
    const std::vector<Bytes> whole = hct_sim::ParseReportLines(text, good);
    ASSERT_EQ(whole, (std::vector<Bytes>{{0x00, 0x03, 0xfe, 0x00, 0x01}, {0x01}}));

    hct_sim::ReportFile file(good);
    std::vector<Bytes> read;
    for (Bytes report; file.Next(report);) read.push_back(report);
    EXPECT_EQ(read, whole);
    EXPECT_EQ(hct_sim::ScanReportFile(good).count, 2u);
    EXPECT_EQ(ErrorOf([&] { hct_sim::ScanReportFile(bad); }), bad + ":200004: \"0g\" is not a hex byte");
    EXPECT_EQ(ErrorOf([&] { hct_sim::ParseReportLines(text + "\n0g\n", bad); }),
              bad + ":200004: \"0g\" is not a hex byte");
}

// A recording of two devices (a keyboard, then a mouse), their reports interleaved.
TEST(Recording, GivesTheFirstDevicesDescriptorReportsAndNames) {
    std::ifstream in(HCT_EXAMPLES_DIR "/two-devices.hidrec");
    const std::string text(std::istreambuf_iterator<char>(in), {});
    const auto recording = hct_sim::ParseRecording(text, "rec");
    EXPECT_EQ(recording.descriptor.size(), 63u);
    EXPECT_EQ(Bytes(recording.descriptor.begin(), recording.descriptor.begin() + 4), (Bytes{0x05, 0x01, 0x09, 0x06}));
    ASSERT_EQ(recording.reports.size(), 2u);
    EXPECT_EQ(recording.reports[0], (Bytes{0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(recording.timestamps[1], "000000.008000");
    EXPECT_EQ(recording.skippedReports, 2u);  // the mouse's
    EXPECT_EQ(recording.name, "Example Keyboard");
    EXPECT_EQ(recording.physicalPath, "usb-0000:00:14.0-1/input0");
    EXPECT_EQ(recording.ids, "3 1234 0001");
}

TEST(Recording, ChecksEachCountAgainstTheBytesThatFollow) {
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("R: 3 05 01 09 02\n", "rec"); }),
              "rec:1: R: announces 3 bytes but holds 4");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("R: 2 05 01\nE: 0.1 2 00\n", "rec"); }),
              "rec:2: E: announces 2 bytes but holds 1");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("R: 2 05 01\nE: 0.1 0\n", "rec"); }), "rec:2: report of no bytes");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("R: 2 05 1ff\n", "rec"); }),
              "rec:1: \"1ff\" is not a two-digit hex byte");
}

TEST(Recording, RefusesLinesOutOfPlaceOrOfUnknownKinds) {
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("E: 0.0 1 00\nR: 1 05\n", "rec"); }),
              "rec:1: E: before the R: line of its device");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("R: 1 05\nE: 12 1 00\n", "rec"); }),
              "rec:2: E: needs a time stamp <sec>.<usec>");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("R: 1 05\nX: 1\n", "rec"); }),
              "rec:2: unknown line type \"X:\" (known: R: E: N: P: I: D: and #)");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("N: nothing\n", "rec"); }),
              "rec: no R: line: the recording holds no report descriptor");
    EXPECT_EQ(ErrorOf([] { hct_sim::ParseRecording("R: 1 05\nI: 3 zz 1\n", "rec"); }),
              "rec:2: I: needs three hex numbers: bus vendor product");
}

// The built-in mouse: 5 buttons + 3 padding, X, Y, wheel, AC pan, 40 Input bits. The other: the
// same mouse behind Report ID 1, and a 16-bit consumer control behind Report ID 2.
TEST(InputReportShapes, CountTheReportIdByteThatTheDeviceSendsInFront) {
    const auto shapes = [](const std::string &name) {
        std::ifstream in(HCT_PASTE_DIR "/" + name, std::ios::binary);
        return hct_sim::InputReportShapes(Bytes(std::istreambuf_iterator<char>(in), {}));
    };
    const auto plain = shapes("mouse.bin"), withId = shapes("mouse-id.bin");
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].reportId, 0u);
    EXPECT_EQ(plain[0].bits, 40u);
    EXPECT_EQ(plain[0].bytes, 5u);
    ASSERT_EQ(withId.size(), 2u);
    EXPECT_EQ(withId[0].reportId, 1u);
    EXPECT_EQ(withId[0].bytes, 6u);
    EXPECT_EQ(withId[1].reportId, 2u);
    EXPECT_EQ(withId[1].bytes, 3u);
}

TEST(InputReportShapes, SumEachReportIdApartAndFollowPushPopAndWideSizes) {
    const Bytes d = {
        0x85, 0x01, 0x75, 0x08, 0x95, 0x03, 0x81, 0x02,  // ID 1: 24 bits
        0xA4,                                            // Push
        0x85, 0x02, 0x76, 0x10, 0x00, 0x95, 0x01, 0x81, 0x02,  // ID 2: one 16-bit field (2-byte size)
        0xB4,                                            // Pop: back to ID 1, size 8, count 3
        0x81, 0x02,                                      // ID 1: 24 more bits
        0xB1, 0x02,                                      // Feature: not counted
    };
    const auto shapes = hct_sim::InputReportShapes(d);
    ASSERT_EQ(shapes.size(), 2u);
    EXPECT_EQ(shapes[0].reportId, 1u);
    EXPECT_EQ(shapes[0].bits, 48u);
    EXPECT_EQ(shapes[0].bytes, 7u);
    EXPECT_EQ(shapes[1].reportId, 2u);
    EXPECT_EQ(shapes[1].bits, 16u);
    EXPECT_EQ(shapes[1].bytes, 3u);
    // A truncated item ends the walk without reading past the end.
    EXPECT_TRUE(hct_sim::InputReportShapes({0x75}).empty());
}

}  // namespace
