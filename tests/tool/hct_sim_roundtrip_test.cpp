// hct-sim run --write-capture, then run --capture of what it wrote: every kind of session gives the
// same session again, compared as the two JSON documents: the same answer to string
// 200 (its raw bytes), the same reports in the same order with the same notes, failed transfers
// failed again and counted, the same layout, counts and driver trace.
#include "tests/tool/cli_harness.h"
#include "tests/tool/json_reader.h"

#include "sim/default_mouse.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using tooltest::Cli;
using tooltest::JsonValue;
using tooltest::Outcome;
using tooltest::ParseJson;

std::string Hex(const std::string &bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) out += (out.empty() ? "" : " ") + std::string((std::snprintf(b, sizeof b, "%02x", c), b));
    return out;
}

std::string Dump(const JsonValue &v) {
    switch (v.kind) {
    case JsonValue::Null: return "null";
    case JsonValue::Bool: return v.boolean ? "true" : "false";
    case JsonValue::Number: return std::to_string(v.number);
    case JsonValue::String: return '"' + v.text + '"';
    case JsonValue::Array: {
        std::string out = "[";
        for (const auto &item : v.items) out += Dump(item) + ",";
        return out + "]";
    }
    case JsonValue::Object: {
        std::string out = "{";
        for (const auto &[key, member] : v.members) out += key + ":" + Dump(member) + ",";
        return out + "}";
    }
    }
    return "?";
}

// The value without the members named in `skip`, at any depth.
JsonValue Without(JsonValue v, const std::set<std::string> &skip) {
    for (const std::string &key : skip) v.members.erase(key);
    for (auto &[key, member] : v.members) member = Without(member, skip);
    for (auto &item : v.items) item = Without(item, skip);
    return v;
}

// The bytes the bus answered string 200 with, as the document tells them.
std::string ProbeBytes(const JsonValue &run) {
    if (run["probe_reply"].kind == JsonValue::String) return Hex(run["probe_reply"].text);
    return run["probe_answer"].text;
}

class RoundTrip : public tooltest::TempDirTest {};

TEST_F(RoundTrip, EverySessionKindWrittenAndReplayedGivesTheSameSession) {
    const std::string recording = HCT_EXAMPLES_DIR "/mouse.hidrec";
    // Two reports longer than the 5-byte read: data overruns, among reports that fit.
    const std::string overlong = File("overlong.txt",
                                      "00 03 fe 00 01\n00 01 02 03 04 05 06 07 08\n00 00 00 00 ff\n"
                                      "01 02 03 04 05 06\n01 05 fb 01 00\n");
    // A session that is itself a replay of a capture with failed transfers in it.
    ASSERT_EQ(Cli({"run", "--reports", overlong, "--probe-reply", "START\x01\xff", "--write-capture", Path("source.pcap")}).code, 0);

    struct Kind {
        const char *name;
        std::vector<std::string> args;
        bool featureReady;
        size_t failed;  // transfers that failed
    };
    const std::vector<Kind> kinds = {
        {"built-in", {"run"}, true, 0},
        {"--probe-reply HELLO", {"run", "--probe-reply", "HELLO"}, false, 0},
        {"--probe-reply with bytes no text has", {"run", "--probe-reply", "START\x01\x80\xfe"}, true, 0},
        {"--probe-reply empty", {"run", "--probe-reply", ""}, false, 0},
        {"--reports with overlong reports", {"run", "--reports", overlong}, true, 2},
        {"--reports, feature off", {"run", "--reports", overlong, "--feature", "off"}, true, 2},
        {"--recording", {"run", "--recording", recording}, true, 0},
        {"a replayed capture", {"run", "--capture", Path("source.pcap")}, true, 2},
    };
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        std::vector<std::string> args = kind.args;
        args.insert(args.end(), {"--json", "--trace", "--write-capture", Path("written.pcap")});
        const Outcome first = Cli(args);
        ASSERT_EQ(first.code, 0) << first.err;
        std::vector<std::string> again = {"run", "--capture", Path("written.pcap"), "--json", "--trace"};
        if (kind.args.back() == "off") again.insert(again.end(), {"--feature", "off"});  // no URB carries the switch
        const Outcome replay = Cli(again);
        ASSERT_EQ(replay.code, 0) << replay.err;
        const JsonValue a = ParseJson(first.out);
        const JsonValue r = ParseJson(replay.out);

        // What names the input, what the replay says of its capture, and the answer to string 200,
        // which the replay names as the capture's own: compared apart below.
        const std::set<std::string> apart = {"mouse", "capture", "capture_facts", "written_capture", "urb_functions",
                                             "probe_reply", "probe_answer", "probe_reply_from", "reports"};
        EXPECT_EQ(Dump(Without(r, apart)), Dump(Without(a, apart)));

        EXPECT_EQ(ProbeBytes(r), ProbeBytes(a));
        if (ProbeBytes(a).empty()) {
            EXPECT_EQ(r["probe_reply"].text, "");
            EXPECT_EQ(r["probe_reply_from"].text, "the capture's own answer, which held no bytes");
        } else {
            EXPECT_EQ(r["probe_reply_from"].text, "capture");
        }
        EXPECT_EQ(r["feature_ready"].boolean, kind.featureReady);
        EXPECT_EQ(r["report_counts"]["transfer_failed"].number, double(kind.failed));
        EXPECT_TRUE(r["urb_functions"]["same"].boolean);

        // The reports one by one, in order: a failed transfer's bytes are the only thing the capture
        // cannot hold (the bus hands none up), and its note says so.
        const auto &rows = a["reports"].items;
        const auto &again_rows = r["reports"].items;
        ASSERT_EQ(again_rows.size(), rows.size());
        ASSERT_GT(rows.size(), 0u);
        size_t failed = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE("report " + std::to_string(i + 1));
            const bool fails = rows[i]["usbd_status"].kind != JsonValue::Null;
            const std::set<std::string> unknown = fails ? std::set<std::string>{"sent", "length", "pan", "note"} : std::set<std::string>{};
            EXPECT_EQ(Dump(Without(again_rows[i], unknown)), Dump(Without(rows[i], unknown)));
            if (!fails) continue;
            ++failed;
            EXPECT_EQ(again_rows[i]["usbd_status"].number, double(0xC000000C));
            EXPECT_EQ(again_rows[i]["sent"].kind, JsonValue::Null);
            EXPECT_EQ(again_rows[i]["note"].text,
                      "transfer failed (USBD status 0xc000000c, data overrun on a read of 5; the capture holds none of the "
                      "bytes sent): not examined");
        }
        EXPECT_EQ(failed, kind.failed);
        if (kind.failed != 0)
            EXPECT_TRUE(tooltest::Contains(r["capture"].text, "report(s) and 2 failed transfer(s) from the capture")) << r["capture"].text;
    }
}

}  // namespace
