#pragma once
// Files: a thin, checked wrapper over stdio streams.

#include "device/core/kError.h"

#include <stdint.h>

#define kFILE_PATH_MAX 4096

enum {
    kFileModeRead = 0,   ///< "rb"
    kFileModeWrite = 1,  ///< "wb": creates or truncates
    kFileModeAppend = 2, ///< "ab+": appends and reads, positioned at the end
};

enum {
    kFileSeekStart = 0,
    kFileSeekCurrent = 1,
    kFileSeekEnd = 2,
};

typedef struct kFileRecord kFile;

/// True for an existing path that is not a directory.
bool kFile_Exists(const char* path);

/// Opens `path` in one of the kFileMode values; null when the path is empty
/// or longer than kFILE_PATH_MAX, the mode is unknown, or the open fails.
/// The caller owns the handle and closes it with kFile_Close.
kFile* kFile_Open(const char* path, int mode);

/// Closes and frees the handle and clears the caller's pointer. kErrParam for
/// an invalid handle, kErrIO when the close (and so the final flush) failed;
/// the handle is freed in every case.
kErr kFile_Close(kFile** file);

/// Reads up to `length` bytes; `*count` (may be null) receives the number
/// read. kErrMode unless opened for reading, kErrEOF when nothing was read.
kErr kFile_Read(kFile* file, void* buffer, uint64_t length, uint64_t* count);

/// Writes `length` bytes; `*count` (may be null) receives the number written.
/// kErrMode unless opened for writing, kErrIO unless every byte was written.
kErr kFile_Write(kFile* file, const void* bytes, uint64_t length, uint64_t* count);

/// Moves the position; kErrRange for a target before the start or past the
/// end, kErrIO when the stream fails.
kErr kFile_Seek(kFile* file, int64_t offset, int origin);

/// The file's size, leaving the position unchanged (size 0 on kErrIO).
kErr kFile_GetSize(kFile* file, uint64_t* size);

/// kErrNotFound, kErrPermission, kErrFileNameLength or kErrIO on failure.
kErr kFile_Delete(const char* path);

/// Reads one line, its newline included, of at most size - 1 characters into
/// a terminated buffer. kErrEOF at the end with nothing read; kErrOverrun
/// when the line filled the buffer without its newline (the rest stays for
/// the next call).
kErr kFile_ReadLine(kFile* file, char* buffer, uint32_t size, uint32_t* length);

/// Makes a file opened for writing unbuffered.
kErr kFile_SetUnbuffered(kFile* file);

kErr kFile_GetPosition(kFile* file, uint64_t* position);

/// Formatted write to a file opened for writing; kErrIO when it fails.
kErr kFile_Printf(kFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Creates a new, empty file in the directory of `target`, named "." + the
/// target's own name + "." + a unique suffix, and opens it for writing with
/// the permissions kFile_Open would give (0666 less the umask). `path`
/// receives its name. Null when the name does not fit in `size`, or the file
/// cannot be created (errno tells why). Meant for writing a replacement that
/// kFile_Rename then puts over the target in one step.
kFile* kFile_OpenTemporary(const char* target, char* path, uint32_t size);

/// Ends a file made by kFile_OpenTemporary. With `err` kErrNone: syncs and
/// closes it, renames it over `target` and syncs the directory, so that the
/// rename survives a crash (kErrIO when that sync fails); then removes the
/// temporary files of `target` whose process no longer runs. Otherwise, or
/// when one of the steps before the rename fails, closes it and deletes it,
/// leaving `target` as it was. Returns `err` or the code of the first step
/// that failed; `*file` is cleared.
kErr kFile_CommitTemporary(kFile** file, const char* temporary, const char* target, kErr err);

/// Flushes a file opened for writing and forces its data to the disk:
/// kErrMode unless opened for writing, kErrIO when either step fails.
kErr kFile_Sync(kFile* file);

/// Renames `from` to `to`, replacing an existing `to` in one step (both on
/// one file system). kErrParam for a missing or over-long path, kErrNotFound,
/// kErrPermission, or kErrIO for any other failure.
kErr kFile_Rename(const char* from, const char* to);
