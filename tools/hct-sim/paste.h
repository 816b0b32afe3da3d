// The paste reader: bytes as people copy them out of other tools. It first tells which form a text
// is in (hex bytes, a C array, a Python or JavaScript list, a b'' literal, the hex dumps of
// Wireshark, od, hexdump -C and xxd, usbhid-dump output, a hid-recorder recording), then reads it by
// that form's rules; a text that is none of them is refused with what it looked like and the forms
// read. An offset column or an ASCII column is never taken for data: a dump's offsets must follow
// from its bytes, and its ASCII column must show them.
#pragma once

#include "formats.h"
#include "warning.h"

#include <string>
#include <string_view>
#include <vector>

namespace hct_sim {

enum class PasteForm {
    HexText,       // "05 01 09 02", "05010902", "0x05 0x01"
    CArray,        // { 0x05, 0x01 } with its declaration (xxd -i)
    List,          // [0x05, 0x01] or [5, 1] (Python, JavaScript)
    BytesLiteral,  // b'\x05\x01' (Python) or "\x05\x01" (an escaped string)
    WiresharkDump, // 0000   05 01 ...   ..
    OdDump,        // od -tx1 (octal offsets) or od -Ax -tx1
    HexdumpDump,   // hexdump -C, with or without its |ASCII| column
    XxdDump,       // 00000000: 0501 0902  ....
    UsbhidDump,    // 001:005:000:DESCRIPTOR  1357924680.123456
    Recording,     // hid-recorder: R: 4 05 01 09 02
};
// The form's name as messages give it ("a Wireshark hex dump").
const char *PasteFormName(PasteForm form);

// The forms read, for messages.
extern const char *const kPasteFormsRead;

struct Paste {
    PasteForm form = PasteForm::HexText;
    Bytes bytes;
    std::vector<Warning> warnings;
};

// A file's bytes as text: UTF-16 with its byte-order mark (little or big endian) converted to UTF-8,
// a UTF-8 mark dropped. Binary data is refused, named as such (with --binary advised when it begins
// as a report descriptor does), and so is UTF-16 without its mark.
std::string PasteText(std::string_view raw, const std::string &source);

// A report descriptor in any of the forms above. A recording gives the descriptor of its first device.
Paste ReadPaste(std::string_view text, const std::string &source);

// One report written on one line (comments already blanked): hex bytes, a C array, a list or a
// b'' literal. A line that begins as a hex dump's line does (an offset column) is refused.
Bytes ReadReportLine(std::string_view line, const std::string &source, int number);
// True when the line (raw, comments not removed) is a b'' literal or an escaped string: such a line
// is read whole, for '#' and "//" inside it are bytes.
bool IsBytesLiteralLine(std::string_view line);

// Raw bytes given as a descriptor file (--binary, .bin, .rdesc) that are hex text: an InputError
// naming what the text is and why it was read as raw bytes.
void RefuseTextAsBinary(const Bytes &bytes, const std::string &source, const std::string &why);

}  // namespace hct_sim
