// Archive names without widgets: the automatic count-up of a typed name and
// the label of a drive.
#pragma once

#include <cstdint>
#include <string>

namespace naming {

struct CountUp {
    bool counted = false;        // the name was advanced
    std::string name;            // the new name (the old one when not counted)
    std::int16_t messageId = 0;  // resSorvane id of the refusal (3100..3103), 0 when counted
};

// countUp: raises the decimal number at the end of `name` (the text exactly
// as typed) by one, keeping its width: DISK09 -> DISK10, 0001 -> 0002. Refused
// when there is no trailing ASCII digit (3102), it does not fit 32 bits or is
// empty (3103), it has ten or more digits (3101), or it would gain a digit (3100).
CountUp countUp(const std::string& name);

// driveLabel: the label of the drive `letter` as the drive list shows it: the
// bracketed label, or the share name of a network drive, else the volume
// label the file system reports; the empty text when the drive is not ready.
std::string driveLabel(char letter);

// trimmed: `text` without the spaces (U+0020 and U+3000) at its ends.
std::string trimmed(const std::string& text);

// usableAsFileName: true when `name` can be the base of a file name on
// Windows: not empty, none of \ / : * ? " < > | nor a control character, no
// trailing dot or blank, and not a device name (CON, NUL, COM1, ...). A disk
// label may break any of these; it then cannot name an archive.
bool usableAsFileName(const std::string& name);

} // namespace naming
