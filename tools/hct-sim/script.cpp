#include "script.h"

#include "../../sim/sim.h"
#include "../../usb/hct/hctioctl.h"

#include <cstdio>

namespace hct_sim {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Reports parse as on the command line; a fault names the script's line.
Bytes ReportBytes(std::string_view text, const std::string &source, int line) {
    try {
        return ParseReportWord(text, source);
    } catch (const InputError &e) {
        const std::string what = e.what();
        throw InputError(source, line, what.substr(what.find(": ") + 2));
    }
}

}  // namespace

std::vector<ScriptStep> ParseScript(std::string_view text, const std::string &source) {
    std::vector<ScriptStep> steps;
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (line.empty() || line.front() == '#') continue;
        if (!steps.empty() && steps.back().kind == ScriptStep::Kind::Unplug)
            throw InputError(source, number, "nothing can follow \"unplug\"");
        ScriptStep step;
        step.line = number;
        if (line == "on") {
            step.kind = ScriptStep::Kind::On;
        } else if (line == "off") {
            step.kind = ScriptStep::Kind::Off;
        } else if (line == "unplug") {
            step.kind = ScriptStep::Kind::Unplug;
        } else if (line.substr(0, 6) == "ioctl ") {
            const std::string word(Trim(line.substr(6)));
            char *rest = nullptr;
            const unsigned long code = std::strtoul(word.c_str(), &rest, 16);
            if (word.empty() || *rest != '\0' || code > 0xFFFFFFFFul)
                throw InputError(source, number, "ioctl needs one hex control code, not \"" + word + "\"");
            step.kind = ScriptStep::Kind::Ioctl;
            step.code = uint32_t(code);
        } else if (line.substr(0, 7) == "report ") {
            const size_t arrow = line.find("->");
            if (arrow == std::string_view::npos)
                throw InputError(source, number, "a report step reads \"report BYTES -> BYTES\"");
            step.kind = ScriptStep::Kind::Report;
            step.sent = ReportBytes(line.substr(7, arrow - 7), source, number);
            step.expected = ReportBytes(line.substr(arrow + 2), source, number);
        } else {
            throw InputError(source, number, "not a step: expected on, off, ioctl CODE, report BYTES -> BYTES or unplug");
        }
        steps.push_back(std::move(step));
    }
    if (steps.empty()) throw InputError(source, 0, "no steps");
    return steps;
}

bool PlayScript(const std::vector<ScriptStep> &steps, const std::string &source, sim::PnpManager &pnp,
                sim::Mouse &mouse, const std::u16string &controlPath, RunFacts &facts, std::vector<std::string> &faults) {
    auto fault = [&](const ScriptStep &step, const std::string &what) {
        faults.push_back(source + ":" + std::to_string(step.line) + ": " + what);
    };
    for (const ScriptStep &step : steps) {
        switch (step.kind) {
        case ScriptStep::Kind::On:
        case ScriptStep::Kind::Off:
        case ScriptStep::Kind::Ioctl: {
            const uint32_t code = step.kind == ScriptStep::Kind::On    ? IOCTL_VORIK_TESKMOUSE_TURN_ON
                                  : step.kind == ScriptStep::Kind::Off ? IOCTL_VORIK_TESKMOUSE_TURN_OFF
                                                                       : step.code;
            const bool known = code == IOCTL_VORIK_TESKMOUSE_TURN_ON || code == IOCTL_VORIK_TESKMOUSE_TURN_OFF;
            sim::Application app;
            NTSTATUS status = app.OpenPath(controlPath);
            if (status == STATUS_SUCCESS) status = app.Ioctl(code, nullptr, 0, nullptr, 0);
            if (app.IsOpen()) app.Close();
            sim::PnpManager::Settle();
            if (step.kind != ScriptStep::Kind::Ioctl) {
                facts.featureOn = step.kind == ScriptStep::Kind::On;
                facts.controlStatus = uint32_t(status);
            }
            if (status != (known ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER)) {
                char text[96];
                std::snprintf(text, sizeof text, "control code 0x%08x answered with status 0x%08x", unsigned(code),
                              unsigned(status));
                fault(step, text);
            }
            break;
        }
        case ScriptStep::Kind::Report: {
            const size_t before = mouse.Class().Reads().size();
            mouse.Feed(step.sent);
            sim::PnpManager::Settle();
            const auto reads = mouse.Class().Reads();
            ReportRow row{step.sent, {}, false};
            if (reads.size() > before && reads[before].status == STATUS_SUCCESS) {
                row.received = reads[before].bytes;
                row.delivered = true;
            }
            if (!row.delivered || row.received != step.expected)
                fault(step, "the class driver received \"" + (row.delivered ? HexPairs(row.received) : "nothing") +
                                "\", not \"" + HexPairs(step.expected) + "\"");
            facts.rows.push_back(std::move(row));
            break;
        }
        case ScriptStep::Kind::Unplug: {
            const NTSTATUS removed = pnp.Remove(mouse, true);
            sim::PnpManager::Settle();
            if (removed != STATUS_SUCCESS) fault(step, "the removal failed");
            return true;
        }
        }
    }
    return false;
}

}  // namespace hct_sim
