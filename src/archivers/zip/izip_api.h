/* The interface of IZIP32J.DLL, used only by ZIP32J.DLL and UNZIP32.DLL. */
#ifndef SORVANE2_IZIP_API_H
#define SORVANE2_IZIP_API_H

#include "archiver_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* IZipRunZip / IZipRunUnZip: one command, as Zip and UnZip take it, with the
 * caller's progress callback. Not guarded against concurrent calls: each
 * calling module keeps its own busy flag. */
ARCHIVER_API int IZipRunZip(const char* commandLine, char* output, unsigned long outputSize,
                            ARCHIVER_PROGRESS callback, void* context);
ARCHIVER_API int IZipRunUnZip(const char* commandLine, char* output, unsigned long outputSize,
                              ARCHIVER_PROGRESS callback, void* context);
ARCHIVER_API unsigned short IZipGetVersion(void);

#ifdef __cplusplus
}
#endif

#endif
