// What hct-sim says of inputs that are not what a command takes, or not whole: a folder, a USB
// capture given as a descriptor, a text saved with a byte-order mark, a descriptor cut off or with
// collections left open, and where the fields of a mouse with several report IDs lie on the wire.
// Each message names what was found; nothing else in the output changes.
#include "tests/tool/cli_harness.h"
#include "tests/tool/json_reader.h"

#include "sim/default_mouse.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using tooltest::Cli;
using tooltest::Contains;
using tooltest::Outcome;

// The built-in mouse's descriptor as hex bytes on one line.
const std::string kMouseHex = [] {
    std::ifstream in(HCT_PASTE_DIR "/mouse.hex.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
}();
const std::string kBom = "\xEF\xBB\xBF";
const std::string kWalked = kMouseHex.substr(0, kMouseHex.size() - 7);  // the mouse without its two End Collections

class Messages : public tooltest::TempDirTest {};

TEST_F(Messages, AFolderIsCalledAFolderWhereverAFileIsExpected) {
    const std::string folder = Path("folder");
    std::filesystem::create_directory(folder);
    const std::string reports = File("r.txt", "00 03 fe 00 01\n");
    const std::vector<std::vector<std::string>> uses = {
        {"layout", folder},
        {"layout", folder, "--binary"},
        {"rewrite", folder, "00 03 fe 00 01"},
        {"run", "--descriptor", folder},
        {"run", "--reports", folder},
        {"run", "--recording", folder},
        {"run", "--capture", folder},
        {"run", "--script", folder},
        {"run", "--descriptor", folder, "--reports", reports},
    };
    for (const auto &args : uses) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const Outcome r = Cli(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, "hct-sim: " + folder + ": a folder, not a file: name a file in it\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Messages, ATextWithAUtf8ByteOrderMarkIsReadAsTheSameTextWithoutAWord) {
    // A descriptor for layout, and a report file, a recording and a descriptor for run: the same
    // output as without the mark.
    const std::string reports = "00 03 fe 00 01\n00 00 00 00 ff\n";
    const std::string recording = "R: 63 " + kMouseHex + "E: 0.000000 5 00 03 fe 00 01\n";
    const struct {
        std::string name, content;
        std::vector<std::string> args;
    } files[] = {{"m.txt", kMouseHex, {"layout", "--diagram"}}, {"reports.txt", reports, {"run", "--reports"}},
                 {"mouse.hidrec", recording, {"run", "--recording"}}, {"d.txt", kMouseHex, {"run", "--descriptor"}}};
    for (const auto &f : files) {
        SCOPED_TRACE(f.name);
        auto args = f.args;
        args.push_back(File(f.name, f.content));
        const Outcome a = Cli(args);
        const std::string with = File("bom-" + f.name, kBom + f.content);
        args.back() = with;
        const Outcome b = Cli(args);
        ASSERT_EQ(a.code, 0) << a.err;
        EXPECT_EQ(b.code, 0) << b.err;
        EXPECT_EQ(b.err, "");
        std::string out = b.out;
        for (size_t at; (at = out.find(with)) != std::string::npos;) out.replace(at, with.size(), Path(f.name));
        EXPECT_EQ(out, a.out);
    }
    // A mark anywhere but at the start is no mark: still bad hex.
    const Outcome late = Cli({"layout", File("late.txt", "05 01 " + kBom + "09 02\n")});
    EXPECT_EQ(late.code, 2);
    EXPECT_TRUE(Contains(late.err, "binary data, not text")) << late.err;
}

TEST_F(Messages, ACaptureGivenAsADescriptorIsNamedAndRunCaptureOffered) {
    // Little- and big-endian pcap, with microsecond and nanosecond stamps, and pcapng.
    const struct {
        std::string name;
        std::string head;
        std::string kind;
    } captures[] = {
        {"le.pcap", std::string("\xD4\xC3\xB2\xA1\x02\x00\x04\x00", 8), "pcap"},
        {"be.pcap", std::string("\xA1\xB2\xC3\xD4\x00\x02\x00\x04", 8), "pcap"},
        {"ns.pcap", std::string("\x4D\x3C\xB2\xA1\x02\x00\x04\x00", 8), "pcap"},
        {"nsbe.cap", std::string("\xA1\xB2\x3C\x4D\x00\x02\x00\x04", 8), "pcap"},
        {"usb.pcapng", std::string("\x0A\x0D\x0D\x0A\x1C\x00\x00\x00\x4D\x3C\x2B\x1A", 12), "pcapng"},
    };
    for (const auto &c : captures) {
        const std::string path = File(c.name, c.head + std::string(40, '\0'));
        const std::string expected =
            "hct-sim: " + path + ": a " + c.kind + " capture, not a report descriptor: use hct-sim run --capture " + path + "\n";
        for (const auto &args : std::vector<std::vector<std::string>>{{"layout", path}, {"rewrite", path, "00"}, {"run", "--descriptor", path, "--binary"}}) {
            SCOPED_TRACE(c.name + " " + args[0] + (args.size() > 2 ? " " + args[2] : ""));
            const Outcome r = Cli(args);
            EXPECT_EQ(r.code, 2);
            EXPECT_EQ(r.err, expected);
        }
    }
    // A real one, as hct-sim writes it.
    ASSERT_EQ(Cli({"run", "--write-capture", Path("s.pcap")}).code, 0);
    EXPECT_EQ(Cli({"layout", Path("s.pcap")}).err,
              "hct-sim: " + Path("s.pcap") + ": a pcap capture, not a report descriptor: use hct-sim run --capture " + Path("s.pcap") + "\n");
    // Three of the four magic bytes are no capture: a plain raw descriptor then.
    EXPECT_EQ(Cli({"layout", File("short.bin", std::string("\xD4\xC3\xB2", 3))}).err.find("capture"), std::string::npos);
}

// Each case with its warnings, and what the verdict says and never says: only what the descriptor
// shows.
TEST_F(Messages, EachDescriptorGetsTheWarningsAndTheVerdictItsBytesCallFor) {
    const std::string mouse = kMouseHex;
    const struct {
        std::string name;
        std::string hex;
        std::vector<std::string> warnings;
        std::string says = "", never = "\x01";
    } cases[] = {
        // The built-in mouse without its last byte: the outer collection stays open.
        {"open.txt", mouse.substr(0, mouse.size() - 4) + "\n", {"1 collection is never closed: the descriptor has no End Collection for it"}},
        {"both-open.txt", mouse.substr(0, mouse.size() - 7) + "\n",
         {"2 collections are never closed: the descriptor has no End Collection for them"}},
        // Report Count (0x95) with its data byte missing, inside both collections.
        {"cut.txt", "05 01 09 02 a1 01 09 01 a1 00 75 08 95 05 81 02 c0 c0 95\n",
         {"the descriptor is cut off inside its last item: byte 18 (0x95) begins an item of 2 bytes, and 1 is there"}},
        // A four-byte Usage cut after two bytes, with the application collection still open.
        {"cut4.txt", "05 01 09 02 a1 01 0b 02 00\n",
         {"the descriptor is cut off inside its last item: byte 6 (0x0b) begins an item of 5 bytes, and 3 are there",
          "1 collection is never closed: the descriptor has no End Collection for it"}},
        // A long item whose data runs past the end.
        {"long.txt", "05 01 09 02 a1 01 c0 fe 04 10 01 02\n",
         {"the descriptor is cut off inside its last item: byte 7 (0xfe) begins an item of 7 bytes, and 5 are there"}},
        {"long-prefix.txt", "05 01 09 02 a1 01 c0 fe\n",
         {"the descriptor is cut off inside its last item: byte 7 (0xfe) begins an item of 3 bytes, and 1 is there"}},
        // A reserved item ends the driver's walk: said, and a cut-off item past it is not named.
        // No Report Count is to blame for the length the walk gives.
        {"reserved.txt", kWalked + "0c 95 01 75 08 81 01 c0 c0\n",
         {"byte 61 (0x0c) is a reserved item: the driver's walk ends there, and the 8 bytes after it add nothing to the layout"},
         "  because the mouse sends 6-byte reports, the driver rewrites only reports of TotalSize/8 = 5 bytes\n", "first byte"},
        {"reserved-cut.txt", "05 01 09 02 a1 01 0c 95\n",
         {"byte 6 (0x0c) is a reserved item: the driver's walk ends there, and the 1 byte after it adds nothing to the layout",
          "1 collection is never closed: the descriptor has no End Collection for it"}},
        // A two-byte Report Count of 257: the driver takes 1.
        {"wide.txt", kWalked + "96 01 01 75 01 81 01 c0 c0\n", {},
         "the mouse sends 38-byte reports, the driver rewrites only reports of TotalSize/8 = 6 bytes (it reads only the first "
         "byte of Report Size and Report Count, and this descriptor has a Report Count of 257)\n", "this device"},
        // A keyboard: no field located, so no report length is examined, and it is no mouse.
        {"keyboard.txt", "05 01 09 06 a1 01 05 07 19 e0 29 e7 15 00 25 01 75 01 95 08 81 02 95 06 75 08 81 00 c0\n", {},
         "; the driver examines no report (the walk did not locate X, Y, wheel, AC pan)\n"
         "rewrite: never: the driver will pass every report of this device unchanged\n", "TotalSize/8 ="},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = File(c.name, c.hex);
        std::string expected;
        for (const auto &w : c.warnings) expected += "hct-sim: warning: " + path + ": " + w + "\n";
        const Outcome layout = Cli({"layout", path});
        EXPECT_EQ(layout.code, 0);
        EXPECT_EQ(layout.err, expected);
        EXPECT_TRUE(Contains(layout.out, c.says)) << layout.out;
        EXPECT_FALSE(Contains(layout.out, c.never)) << layout.out;
        EXPECT_EQ(Cli({"rewrite", path, "00 00 00 00 00"}).err.rfind(expected, 0), 0u);
        EXPECT_EQ(Cli({"run", "--descriptor", path}).err, expected);
    }
    // A recording's R: line and a capture's own descriptor are warned about under their names; a
    // whole one gets no warning.
    const std::string recording = File("r.rec", "R: 62 " + mouse.substr(0, mouse.size() - 4) + "\nE: 0.000000 1 00\n");
    EXPECT_EQ(Cli({"run", "--recording", recording}).err,
              "hct-sim: warning: " + recording + ": 1 collection is never closed: the descriptor has no End Collection for it\n");
    ASSERT_EQ(Cli({"run", "--write-capture", Path("s.pcap")}).code, 0);
    EXPECT_EQ(Cli({"run", "--capture", Path("s.pcap")}).err, "");
    // A capture's own descriptor left open is warned about under the capture's name.
    ASSERT_EQ(Cli({"run", "--descriptor", Path("open.txt"), "--write-capture", Path("open.pcap")}).code, 0);
    EXPECT_EQ(Cli({"run", "--capture", Path("open.pcap")}).err,
              "hct-sim: warning: " + Path("open.pcap") + ": 1 collection is never closed: the descriptor has no End Collection for it\n");
}

// The diagram draws the Input bits of all reports one after the other, as the driver counts them:
// where a report's bits lie on the wire is said report ID by report ID.
TEST_F(Messages, TheDiagramSaysWhereEachReportIdsBitsLieOnTheWire) {
    const std::string note = "  the mouse sends a Report ID byte in front of each report's bits; the driver does not count it,\n"
                             "  and counts the Input bits of all reports one after the other, as drawn here; on the wire:\n";
    // X and Y in report 1 after 8 buttons; wheel and AC pan in report 2.
    const std::string two = File("two.txt",
                                 "05 01 09 02 a1 01\n"
                                 "85 01 09 01 a1 00 05 09 19 01 29 08 15 00 25 01 95 08 75 01 81 02\n"
                                 "05 01 09 30 09 31 15 81 25 7f 75 08 95 02 81 06 c0\n"
                                 "85 02 09 38 15 81 25 7f 75 08 95 01 81 06 05 0c 0a 38 02 81 06\n"
                                 "c0\n");
    Outcome r = Cli({"layout", two, "--diagram"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, note +
                                    "    report ID 1: drawn bits 0 to 23 are its bits 8 to 31 (one byte later): X, Y\n"
                                    "    report ID 2: drawn bits 24 to 39 are its bits 8 to 23 (2 bytes earlier): wheel, AC pan\n"
                                    "  the bits of all 2 input reports are drawn one after the other, as the driver counts them\n"))
        << r.out;
    EXPECT_FALSE(Contains(r.out, "every field lies one byte later"));

    // Report 1's items on both sides of report 2's: each stretch gets its line, report 1's second
    // stretch going on where its first ended on the wire.
    const std::string interleaved = File("interleaved.txt",
                                         "05 01 09 02 a1 01 09 01 a1 00\n"
                                         "85 01 05 01 09 30 15 81 25 7f 75 08 95 01 81 06\n"
                                         "85 02 09 38 81 06\n"
                                         "85 01 09 31 81 06 05 0c 0a 38 02 81 06\n"
                                         "c0 c0\n");
    r = Cli({"layout", interleaved, "--diagram"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, note +
                                    "    report ID 1: drawn bits 0 to 7 are its bits 8 to 15 (one byte later): X\n"
                                    "    report ID 1: drawn bits 16 to 31 are its bits 16 to 31 (where drawn): Y, AC pan\n"
                                    "    report ID 2: drawn bits 8 to 15 are its bits 8 to 15 (where drawn): wheel\n"))
        << r.out;

    // One report with an ID: the one-line note, as before.
    const std::string one = File("one.txt", "05 01 09 02 a1 01 85 07" + kMouseHex.substr(std::string("05 01 09 02 a1 01").size()));
    r = Cli({"layout", one, "--diagram"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "  the mouse sends a Report ID byte in front of its report bits; the driver does not count it,\n"
                                "  so on the wire every field lies one byte later than drawn here\n"))
        << r.out;
    EXPECT_FALSE(Contains(r.out, "report ID 7:"));
    // No ID: no note at all.
    EXPECT_FALSE(Contains(Cli({"layout", "--diagram"}).out, "Report ID byte"));
}

// A descriptor of 65472 bytes or more: the class driver's request (its length + 64) does not fit
// the 16-bit wLength, and what the system's class driver does then is not known. layout shows the
// walk of the bytes, named as that; rewrite refuses; 65471 bytes is asked for whole.
TEST_F(Messages, ADescriptorTooLongToRequestIsNamedWithTheWalkOfItsBytes) {
    const std::vector<uint8_t> mouse = sim::DefaultMouseDescriptor();
    for (const size_t length : {size_t(65471), size_t(65472), size_t(65535)}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> bytes = mouse;
        bytes.resize(length, 0xc0);  // End Collections: they add nothing
        const std::string path = File("big.bin", bytes);
        const bool known = length <= 65471;
        const Outcome r = Cli({"layout", path});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out.rfind("total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20\n", 0), 0u) << r.out;
        const std::string said = "the descriptor is " + std::to_string(length) + " bytes long: the class driver asks for it with its length + 64 = " +
                                 std::to_string(length + 64) + " bytes, which does not fit the 16-bit wLength of the request; what the "
                                 "system's class driver does then is not known, so what the driver records is not known either";
        EXPECT_EQ(Contains(r.out, "  (the walk of the descriptor's own " + std::to_string(length) + " bytes, not a layout the driver records: " + said), !known) << r.out;
        EXPECT_EQ(r.err, known ? "" : "hct-sim: warning: " + path + ": " + said + "\n");
        const tooltest::JsonValue j = tooltest::ParseJson(Cli({"layout", path, "--json"}).out);
        EXPECT_EQ(j["layout_from"].text, known ? "driver" : "walk-of-descriptor-bytes");
        EXPECT_EQ(j["descriptor"]["request_length"].number, double(length + 64));
        EXPECT_EQ(Cli({"rewrite", path, "00 00 00 00 01"}).code, known ? 0 : 2);
    }
}

}  // namespace
