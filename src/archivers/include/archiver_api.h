/* The C interface of the archiver library modules (UNLHA32.DLL, ZIP32J.DLL,
 * UNZIP32.DLL). Command lines hold dialect paths ("C:\ARC\X.LZH"); relative
 * names resolve against the process's current folder.
 *
 * Every text that crosses this interface (the command line, the report, the
 * entry name given to the progress callback) is in the platform's narrow code
 * page: UTF-8 on POSIX systems, the ANSI code page (CP_ACP, 932 on Japanese
 * Windows) on Windows, where a name that code page cannot hold cannot be
 * passed, and is shown with "?" in a report.
 *
 * Every command function returns 0 on success or one of the common archiver
 * result codes (0x8005 no space, 0x8006 read-only target, 0x801F busy,
 * 0x8020 cancelled, ...). When `output` is not null and `outputSize` is not 0,
 * it receives a NUL-terminated report (listings, the names of files that
 * failed), cut to fit. Calls are synchronous; a call made while another call
 * of the same module is in progress returns 0x801F at once. */
#ifndef SORVANE2_ARCHIVER_API_H
#define SORVANE2_ARCHIVER_API_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ARCHIVER_API __declspec(dllexport)
#else
#define ARCHIVER_API __attribute__((visibility("default")))
#endif

/* ARCHIVER_PROGRESS: called from inside a command with the bytes done so far,
 * the bytes of the whole command and the entry being worked on (narrow
 * code page, see above).
 * Return nonzero to cancel: the command then ends with 0x8020 and leaves the
 * archive as it was. */
typedef int (*ARCHIVER_PROGRESS)(void* context, unsigned long long done,
                                 unsigned long long total, const char* entryName);

/* Unlha: run one LZH command ("u -+ -xra "-wC:\TEMP\" "D:\ARC\X.LZH" "*.*""). */
ARCHIVER_API int Unlha(void* owner, const char* commandLine, char* output, unsigned long outputSize);
/* UnlhaGetVersion: 100 times the version (104 = 1.04). */
ARCHIVER_API unsigned short UnlhaGetVersion(void);
/* UnlhaGetRunning: nonzero while a call of this module is in progress. */
ARCHIVER_API int UnlhaGetRunning(void);
/* UnlhaSetProgress: the callback for later calls (null for none); returns 0. */
ARCHIVER_API int UnlhaSetProgress(ARCHIVER_PROGRESS callback, void* context);

ARCHIVER_API int Zip(void* owner, const char* commandLine, char* output, unsigned long outputSize);
ARCHIVER_API unsigned short ZipGetVersion(void);
ARCHIVER_API int ZipGetRunning(void);
ARCHIVER_API int ZipSetProgress(ARCHIVER_PROGRESS callback, void* context);

ARCHIVER_API int UnZip(void* owner, const char* commandLine, char* output, unsigned long outputSize);
ARCHIVER_API unsigned short UnZipGetVersion(void);
ARCHIVER_API int UnZipGetRunning(void);
ARCHIVER_API int UnZipSetProgress(ARCHIVER_PROGRESS callback, void* context);

#ifdef __cplusplus
}
#endif

#endif
