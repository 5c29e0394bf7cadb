// What the file system readers share among themselves: the probes that
// Volume::open asks in turn, and the name helpers of the FAT reader that the
// others use too. Not for use outside the image readers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "disk_image.h"

namespace platform::image::detail {

// cp932Text: the UTF-8 text of CP932 bytes; nullopt when they are not CP932.
std::optional<std::string> cp932Text(std::string_view bytes);
// usableName: a name a drive path can hold (UTF-8, no separators, no control characters).
bool isUsableName(const std::string& name);
// hexBytes: "41422E" for the bytes "AB.".
std::string hexBytes(const unsigned char* bytes, std::size_t size);
// duplicateProblem: why `entries` cannot stand as one folder (two entries of
// one name, compared as the drive compares them); empty when they can.
std::string duplicateProblem(const std::vector<Entry>& entries);

// ── Human68k ────────────────────────────────────────────────────────────────

// human68kBoot: whether the disk's first sector is a Human68k boot sector;
// an Error when it is one whose own values contradict the FAT's `geometry`.
Result<bool> human68kBoot(const Disk& disk, const Geometry& geometry);
// human68kName: the UTF-8 name of a Human68k folder entry (18 + 3 characters:
// the 8 of the name field, then up to 10 more in bytes 12 to 21, the
// extension), decoded from Shift-JIS; nullopt when it is not Shift-JIS.
std::optional<std::string> human68kName(const unsigned char* entry);

// ── N88-BASIC ───────────────────────────────────────────────────────────────

// n88Geometry: the N88-BASIC layout whose system track the disk holds;
// nullopt when it holds none; an Error when the disk is of an N88-BASIC
// layout's size and the image lost all three FAT copies of a place its
// system track may be (the disk cannot be told, and must not be read as
// another file system that only happens to fit).
std::optional<Result<Geometry>> n88Geometry(const Disk& disk);
// openN88: the N88-BASIC volume of `geometry` on `disk`.
Result<std::shared_ptr<Volume>> openN88(std::shared_ptr<const Disk> disk, const Geometry& geometry);
// n88TableBytes: the memory its tables take once open.
std::uint64_t n88TableBytes(const Geometry& geometry);

} // namespace platform::image::detail
