#pragma once
// Directories and paths.

#include "device/core/kError.h"

#include <stdint.h>
#include <sys/types.h>

#define kDIR_PATH_SEP "/"
#define kDIR_PATH_MAX 2048
#define kDIR_BUILD_PATH_PARTS 10

struct kDirectoryListData {
    const char* path; ///< the entry's full path
    uint32_t size;    ///< its size in bytes
    bool isDirectory;
};

/// Called per entry by kDirectory_List; false ends the walk.
typedef bool (*kDirectoryListCallback)(const kDirectoryListData* entry, void* reference);

bool kDirectory_Exists(const char* path);

/// Creates `path` and every missing parent with `mode` (as in 0755). An
/// existing directory is kErrNone; kErrPermission when a creation fails or
/// the path exists and is not a directory.
kErr kDirectory_Ensure(const char* path, mode_t mode);

/// Calls `callback` for each entry ("." and ".." included) that can be
/// examined, in the system's order. kErrNotFound when the directory cannot be
/// opened.
kErr kDirectory_List(const char* path, kDirectoryListCallback callback, void* reference);

/// Removes an empty directory; kErrUnknown on failure.
kErr kDirectory_Delete(const char* path);

/// Removes a directory and everything below it, directories depth first.
kErr kDirectory_DeleteTree(const char* path);

/// The working directory; kErrParam when it cannot be had.
kErr kDirectory_CWD(char* buffer, uint32_t size);

/// The program's own path (from /proc/self/exe), cut to size - 1 characters;
/// kErrRead on failure.
kErr kDirectory_ExecutableFilePath(char* buffer, uint32_t size);

/// The home directory from the user database, else the HOME variable, always
/// terminated within `size`. kErrNotFound, with an empty buffer, when neither
/// gives one; kErrOverrun, with an empty buffer, when it does not fit.
kErr kDirectory_GetHomeDirectory(char* buffer, uint32_t size);

/// kDirectory_BuildPath with two parts.
kErr kDirectory_JoinPath(char* buffer, uint32_t size, const char* a, const char* b);

/// Joins up to ten parts, the list ended by a null pointer, putting "/"
/// between two parts unless one of them already has it there. kErrParam for a
/// missing buffer, a buffer that is one of the parts or too many parts;
/// kErrOverrun when the result does not fit.
kErr kDirectory_BuildPath(char* buffer, uint32_t size, const char* first, ...);
