// Result codes of the archiver library modules (the common archiver library codes).
#pragma once

namespace archivers {

enum ResultCode : int {
    kOk = 0,
    kErrorDiskSpace = 0x8005,        // no space left on the target (ENOSPC, EFBIG, EDQUOT)
    kErrorReadOnly = 0x8006,         // the target cannot be written (EROFS, EACCES)
    kErrorMethod = 0x8009,           // a compression method this library does not handle
    kErrorFileCrc = 0x800C,          // a member's data does not match its CRC
    kErrorFileOpen = 0x800D,         // a source file could not be opened
    kErrorMakeDirectory = 0x8012,    // a folder could not be made while extracting
    kErrorCannotWrite = 0x8013,      // any other write failure
    kErrorHuffmanCode = 0x8014,      // a member's Huffman tables are broken
    kErrorHeaderCrc = 0x8016,        // a header's checksum does not match
    kErrorHeaderBroken = 0x8017,     // a header that cannot be decoded
    kErrorArcFileOpen = 0x8018,      // the archive cannot be opened
    kErrorNotArcFile = 0x8019,       // no archive named on the command line
    kErrorCannotRead = 0x801A,       // a source file could not be read to its end
    kErrorFileStyle = 0x801B,        // the file is not an archive of this format
    kErrorCommandName = 0x801C,      // unknown command word
    kErrorAlreadyRunning = 0x801F,   // another call of this module is in progress
    kErrorUserCancel = 0x8020,       // cancelled through the progress callback
    kErrorTmpOpen = 0x8025,          // the temporary archive could not be made
    kErrorLongFileName = 0x8026,     // a name too long for the header level
    kErrorSameNameFile = 0x8028,     // two sources would be stored under one name
    kErrorNotFindArcFile = 0x8029,   // the archive to read does not exist
    kErrorEof = 0x802D,              // the archive ends in the middle of a member
    kErrorNotFindFile = 0x8031,      // no file matched the given names
    kErrorNotConfirmName = 0x8041,   // a name that cannot be stored or is unsafe to extract
    kErrorUnknownLevel = 0x8047,     // a header level this library does not read
    kErrorBrokenData = 0x8048,       // a member's compressed data is damaged
    kErrorInvalidPath = 0x8049,      // a member would land outside the extraction folder
    kErrorTooBig = 0x804A,           // a member larger than this format or header allows
    kErrorInvalidValue = 0x804C,     // an unknown or malformed switch
};

// resultCodeName: the symbolic name of a code ("ERROR_DISK_SPACE"), for messages.
const char* resultCodeName(int code);

// resultCodeForWrite: the code for a failed write or create on the target (errno value).
int resultCodeForWrite(int error);

} // namespace archivers
