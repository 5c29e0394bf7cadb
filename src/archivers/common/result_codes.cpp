// Names of the archiver result codes and the errno mapping of target failures.
#include "result_codes.h"

#include <cerrno>

namespace archivers {

const char* resultCodeName(int code)
{
    switch (code) {
    case kOk: return "OK";
    case kErrorDiskSpace: return "ERROR_DISK_SPACE";
    case kErrorReadOnly: return "ERROR_READ_ONLY";
    case kErrorMethod: return "ERROR_METHOD";
    case kErrorFileCrc: return "ERROR_FILE_CRC";
    case kErrorFileOpen: return "ERROR_FILE_OPEN";
    case kErrorMakeDirectory: return "ERROR_MAKEDIRECTORY";
    case kErrorCannotWrite: return "ERROR_CANNOT_WRITE";
    case kErrorHuffmanCode: return "ERROR_HUFFMAN_CODE";
    case kErrorHeaderCrc: return "ERROR_HEADER_CRC";
    case kErrorHeaderBroken: return "ERROR_HEADER_BROKEN";
    case kErrorArcFileOpen: return "ERROR_ARC_FILE_OPEN";
    case kErrorNotArcFile: return "ERROR_NOT_ARC_FILE";
    case kErrorCannotRead: return "ERROR_CANNOT_READ";
    case kErrorFileStyle: return "ERROR_FILE_STYLE";
    case kErrorCommandName: return "ERROR_COMMAND_NAME";
    case kErrorAlreadyRunning: return "ERROR_ALREADY_RUNNING";
    case kErrorUserCancel: return "ERROR_USER_CANCEL";
    case kErrorTmpOpen: return "ERROR_TMP_OPEN";
    case kErrorLongFileName: return "ERROR_LONG_FILE_NAME";
    case kErrorSameNameFile: return "ERROR_SAME_NAME_FILE";
    case kErrorNotFindArcFile: return "ERROR_NOT_FIND_ARC_FILE";
    case kErrorEof: return "ERROR_EOF";
    case kErrorNotFindFile: return "ERROR_NOT_FIND_FILE";
    case kErrorNotConfirmName: return "ERROR_NOT_CONFIRM_NAME";
    case kErrorUnknownLevel: return "ERROR_UNKNOWN_LEVEL";
    case kErrorBrokenData: return "ERROR_BROKEN_DATA";
    case kErrorInvalidPath: return "ERROR_INVALID_PATH";
    case kErrorTooBig: return "ERROR_TOO_BIG";
    case kErrorInvalidValue: return "ERROR_INVALID_VALUE";
    default: return "ERROR";
    }
}

int resultCodeForWrite(int error)
{
    switch (error) {
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT // not in the Windows C library
    case EDQUOT:
#endif
        return kErrorDiskSpace;
    case EROFS:
    case EACCES:
    case EPERM:
        return kErrorReadOnly;
    default:
        return kErrorCannotWrite;
    }
}

} // namespace archivers
