// The input report rewrite written out bit by bit, as its rules read, and a seeded generator of
// layouts and reports to hold the driver's rewrite against it. Shared by the report suite (the pure
// rewrite, many cases) and the full-stack suite (ReassignReport with its dumps).
//
// The rules, in order: dump the report; a wheel narrower than 8 bits stops there; a report whose
// length is not TotalSize / 8, or the feature off, gives the second dump with nothing changed (so
// does a layout whose wheel or pan field reaches past the report: no bit outside the buffer is ever
// addressed); a pan whose every bit is 0 stops after the first dump; otherwise the pan's direction
// is its first bit (1: negative), and each bit of the wheel field, at distance d from the field's
// last bit, becomes 1 exactly when d is 4 or 5 (positive) or 6 or 7 (negative). Report bit n is bit
// 7 - n % 8 of byte n / 8: most significant first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report/report.h"

namespace rewrite_model {

using Report = std::vector<uint8_t>;

enum class Dumps { BeforeOnly, BothUnchanged, BothRewritten };

struct Expected {
    Dumps dumps;
    Report after;
};

inline bool GetBit(const Report &r, uint64_t n) { return ((r[n / 8] >> (7 - n % 8)) & 1) != 0; }

inline void PutBit(Report &r, uint64_t n, bool v)
{
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (n % 8));
    r[n / 8] = static_cast<uint8_t>(v ? (r[n / 8] | mask) : (r[n / 8] & ~mask));
}

inline Expected Model(const REPORT_LAYOUT &l, bool featureEnabled, const Report &before)
{
    const uint64_t bits = uint64_t(before.size()) * 8;
    if (l.WheelSize < 8)
        return {Dumps::BeforeOnly, before};
    if (before.size() != l.TotalSize / 8 || !featureEnabled)
        return {Dumps::BothUnchanged, before};
    if (uint64_t(l.WheelOffset) + l.WheelSize > bits || uint64_t(l.AcPanOffset) + l.AcPanSize > bits)
        return {Dumps::BothUnchanged, before};
    bool anyPanBit = false;
    for (uint64_t i = 0; i < l.AcPanSize; i++)
        anyPanBit = anyPanBit || GetBit(before, uint64_t(l.AcPanOffset) + i);
    if (!anyPanBit)
        return {Dumps::BeforeOnly, before};
    const bool negative = GetBit(before, l.AcPanOffset);
    Report after = before;
    const uint64_t last = uint64_t(l.WheelOffset) + l.WheelSize - 1;
    for (uint64_t n = last + 1; n-- > l.WheelOffset;) {
        const uint64_t d = last - n;
        PutBit(after, n, negative ? (d == 6 || d == 7) : (d == 4 || d == 5));
    }
    return {Dumps::BothRewritten, after};
}

// splitmix64: the same sequence on every platform and standard library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    uint32_t Between(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }  // inclusive
    bool Chance(uint32_t percent) { return Below(100) < percent; }

private:
    uint64_t state_;
};

// How a case's wheel and pan fields are placed.
enum class Shape {
    WholeBytes,      // offsets and sizes multiples of 8: the rewrite's byte-at-a-time path
    AlignedOddSize,  // offsets multiples of 8, at least one size not: the edge of that path
    Unaligned,       // any offset, any size
    Overlapping,     // wheel and pan share bits (a layout read while another descriptor is parsed)
};

struct Case {
    uint64_t index;
    Shape shape;
    REPORT_LAYOUT layout;
    bool featureEnabled;
    Report report;
};

inline const char *ShapeName(Shape s)
{
    switch (s) {
    case Shape::WholeBytes: return "whole bytes";
    case Shape::AlignedOddSize: return "byte-aligned, size not a multiple of 8";
    case Shape::Unaligned: return "unaligned";
    case Shape::Overlapping: return "overlapping";
    }
    return "?";
}

inline std::string Hex(const Report &r)
{
    std::string s;
    char b[4];
    for (uint8_t v : r) {
        snprintf(b, sizeof b, "%02X ", v);
        s += b;
    }
    if (!s.empty())
        s.pop_back();
    return s;
}

inline std::string Describe(uint64_t seed, const Case &c)
{
    const REPORT_LAYOUT &l = c.layout;
    char text[400];
    snprintf(text, sizeof text,
             "seed 0x%llx case %llu (%s): TotalSize %u, wheel %u bits at %u, pan %u bits at %u, feature %s, "
             "report of %zu bytes: %s",
             (unsigned long long)seed, (unsigned long long)c.index, ShapeName(c.shape), l.TotalSize, l.WheelSize,
             l.WheelOffset, l.AcPanSize, l.AcPanOffset, c.featureEnabled ? "on" : "off", c.report.size(),
             Hex(c.report).c_str());
    return text;
}

// Draws one case: a layout of 1 to 32 bytes whose wheel and pan (1 to 32 bits each, either one
// first) lie inside TotalSize, and a report of 1 to 32 bytes (every length the completion routine
// lets through): mostly the layout's own length, otherwise another (a length mismatch), now and then
// with a field reaching past the report. Reports are random with the pan field often cleared,
// often with a single bit of the pan set (its first or its last), and the feature mostly on.
class Generator {
public:
    explicit Generator(uint64_t seed) : random_(seed) {}

    Case Next(uint64_t index)
    {
        Case c{};
        c.index = index;
        const uint32_t pick = random_.Below(100);
        c.shape = pick < 25 ? Shape::WholeBytes : pick < 55 ? Shape::AlignedOddSize : pick < 95 ? Shape::Unaligned
                                                                                              : Shape::Overlapping;
        REPORT_LAYOUT &l = c.layout;
        l.XSize = random_.Between(1, 16);
        l.XOffset = random_.Below(64);
        l.YSize = random_.Between(1, 16);
        l.YOffset = random_.Below(64);

        uint32_t wheelSize, panSize;
        DrawSizes(c.shape, &wheelSize, &panSize);
        const bool wheelFirst = random_.Chance(50);
        const uint32_t aligned = c.shape == Shape::WholeBytes || c.shape == Shape::AlignedOddSize;
        // The bits the two fields need, in order, with the second starting on a byte when aligned.
        const uint32_t firstSize = wheelFirst ? wheelSize : panSize;
        const uint32_t secondSize = wheelFirst ? panSize : wheelSize;
        const uint32_t firstSpan = aligned ? RoundUp8(firstSize) : firstSize;
        const uint32_t need = c.shape == Shape::Overlapping ? (firstSize > secondSize ? firstSize : secondSize)
                                                            : firstSpan + secondSize;
        const uint32_t minBytes = (need + 7) / 8;
        const uint32_t layoutBytes = random_.Chance(15) ? minBytes : random_.Between(minBytes, 32);
        const uint32_t bits = layoutBytes * 8;

        uint32_t firstOffset, secondOffset;
        if (c.shape == Shape::Overlapping) {
            firstOffset = random_.Below(bits - firstSize + 1);
            // The second field starts inside the first one, or the first inside the second.
            const uint32_t lo = firstOffset + 1 > secondSize ? firstOffset + 1 - secondSize : 0;
            const uint32_t hi = firstOffset + firstSize - 1 < bits - secondSize ? firstOffset + firstSize - 1 : bits - secondSize;
            secondOffset = random_.Between(lo, hi);
        } else {
            const uint32_t slack = bits - need;  // spare bits to spread around the two fields
            uint32_t before = Spread(slack), between = Spread(slack - before);
            if (aligned) {
                before &= ~7u;
                between &= ~7u;
            }
            firstOffset = before;
            secondOffset = firstOffset + firstSpan + between;
        }
        l.WheelSize = wheelSize;
        l.AcPanSize = panSize;
        l.WheelOffset = wheelFirst ? firstOffset : secondOffset;
        l.AcPanOffset = wheelFirst ? secondOffset : firstOffset;

        l.TotalSize = bits;
        uint32_t length = layoutBytes;
        const uint32_t lengthPick = random_.Below(100);
        if (lengthPick < 12) {
            // A report of another length than the layout's, a byte more or less most of the time.
            if (random_.Chance(60))
                length = layoutBytes == 1 || (layoutBytes < 32 && random_.Chance(50)) ? layoutBytes + 1 : layoutBytes - 1;
            else
                while (length == layoutBytes)
                    length = random_.Between(1, 32);
        } else if (lengthPick < 14 && c.shape != Shape::Overlapping) {
            // TotalSize says the report is longer than the fields allow: a field reaches past it.
            uint32_t &offset = random_.Chance(50) ? l.WheelOffset : l.AcPanOffset;
            offset += bits;
        }
        c.featureEnabled = random_.Chance(90);

        c.report.resize(length);
        for (uint8_t &b : c.report)
            b = static_cast<uint8_t>(random_.Next());
        if (uint64_t(l.AcPanOffset) + l.AcPanSize <= uint64_t(length) * 8) {
            const uint32_t panPick = random_.Below(100);
            if (panPick < 45) {
                for (uint32_t i = 0; i < panSize; i++)
                    PutBit(c.report, l.AcPanOffset + i, false);
                if (panPick < 15)
                    PutBit(c.report, l.AcPanOffset + panSize - 1, true);  // only the last bit
                else if (panPick < 25)
                    PutBit(c.report, l.AcPanOffset, true);  // only the first bit: the sign
            }
        }
        return c;
    }

private:
    static uint32_t RoundUp8(uint32_t v) { return (v + 7) & ~7u; }

    // Sizes 1 to 32 bits; whole bytes for WholeBytes, and for AlignedOddSize at least one of the two
    // not a multiple of 8 (often 8 +- 1 or 16 +- 1, right at the edge).
    void DrawSizes(Shape shape, uint32_t *wheel, uint32_t *pan)
    {
        auto any = [&] {
            const uint32_t p = random_.Below(100);
            if (p < 30)
                return random_.Between(1, 32);
            if (p < 55)
                return random_.Between(7, 9);
            if (p < 75)
                return random_.Between(15, 17);
            if (p < 88)
                return random_.Between(23, 25);
            return random_.Between(31, 32);
        };
        auto whole = [&] { return random_.Between(1, 4) * 8; };
        switch (shape) {
        case Shape::WholeBytes:
            *wheel = whole();
            *pan = whole();
            return;
        case Shape::AlignedOddSize:
            do {
                *wheel = random_.Chance(30) ? whole() : any();
                *pan = random_.Chance(30) ? whole() : any();
            } while (*wheel % 8 == 0 && *pan % 8 == 0);
            return;
        case Shape::Unaligned:
        case Shape::Overlapping:
            *wheel = any();
            *pan = any();
            return;
        }
    }

    // A share of the spare bits: none, all, or anything between, so that fields at the very start
    // and the very end of the report come up often.
    uint32_t Spread(uint32_t slack)
    {
        const uint32_t p = random_.Below(100);
        if (p < 20)
            return 0;
        if (p < 35)
            return slack;
        return random_.Below(slack + 1);
    }

    Random random_;
};

}  // namespace rewrite_model
