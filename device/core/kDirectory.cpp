#include "device/core/kDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

bool kDirectory_Exists(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static kErr sMakeOne(const char* path, mode_t mode)
{
    if (mkdir(path, mode) == 0)
        return kErrNone;
    return (errno == EEXIST) ? kErrNone : kErrPermission;
}

kErr kDirectory_Ensure(const char* path, mode_t mode)
{
    if (!path || path[0] == '\0')
        return kErrParam;
    if (kDirectory_Exists(path))
        return kErrNone;
    size_t length = strlen(path);
    std::vector<char> prefix(path, path + length + 1);
    for (size_t i = 1; i < length; i++) {
        if (prefix[i] != '/')
            continue;
        prefix[i] = '\0';
        kErr err = kDirectory_Exists(prefix.data()) ? kErrNone : sMakeOne(prefix.data(), mode);
        prefix[i] = '/';
        if (err)
            return err;
    }
    kErr err = sMakeOne(path, mode);
    if (err)
        return err;
    return kDirectory_Exists(path) ? kErrNone : kErrPermission;
}

kErr kDirectory_List(const char* path, kDirectoryListCallback callback, void* reference)
{
    if (!path || !callback)
        return kErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return kErrNotFound;
    char full[kDIR_PATH_MAX];
    struct dirent* entry;
    while ((entry = readdir(dir)) != nullptr) {
        struct stat st;
        if (kDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != kErrNone)
            continue;
        if (lstat(full, &st) != 0)
            continue;
        kDirectoryListData data = {full, (uint32_t)st.st_size, S_ISDIR(st.st_mode)};
        if (!callback(&data, reference))
            break;
    }
    closedir(dir);
    return kErrNone;
}

kErr kDirectory_Delete(const char* path)
{
    return (path && rmdir(path) == 0) ? kErrNone : kErrUnknown;
}

kErr kDirectory_DeleteTree(const char* path)
{
    if (!path)
        return kErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return kErrNotFound;
    kErr err = kErrNone;
    char full[kDIR_PATH_MAX];
    struct dirent* entry;
    while (!err && (entry = readdir(dir)) != nullptr) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        if (kDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != kErrNone ||
            lstat(full, &st) != 0) {
            err = kErrUnknown;
        } else if (S_ISDIR(st.st_mode)) {
            err = kDirectory_DeleteTree(full);
        } else if (unlink(full) != 0) {
            perror("kDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", full);
            err = kErrUnknown;
        }
    }
    closedir(dir);
    if (err)
        return err;
    return kDirectory_Delete(path);
}

kErr kDirectory_CWD(char* buffer, uint32_t size)
{
    if (!buffer || size == 0 || !getcwd(buffer, size))
        return kErrParam;
    return kErrNone;
}

kErr kDirectory_ExecutableFilePath(char* buffer, uint32_t size)
{
    if (!buffer || size == 0)
        return kErrRead;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return kErrRead;
    }
    buffer[n] = '\0';
    return kErrNone;
}

// A path that does not fit is refused whole: a cut one names another
// directory.
static kErr sCopyWhole(char* buffer, uint32_t size, const char* text)
{
    if (strlen(text) >= size) {
        buffer[0] = '\0';
        return kErrOverrun;
    }
    memcpy(buffer, text, strlen(text) + 1);
    return kErrNone;
}

kErr kDirectory_GetHomeDirectory(char* buffer, uint32_t size)
{
    if (!buffer || size == 0)
        return kErrParam;
    buffer[0] = '\0';
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? (size_t)hint : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, scratch.data(), scratch.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] != '\0')
        return sCopyWhole(buffer, size, found->pw_dir);
    const char* home = getenv("HOME");
    if (home && home[0] != '\0')
        return sCopyWhole(buffer, size, home);
    return kErrNotFound;
}

kErr kDirectory_JoinPath(char* buffer, uint32_t size, const char* a, const char* b)
{
    return kDirectory_BuildPath(buffer, size, a, b, (const char*)nullptr);
}

static kErr sAppend(char* buffer, uint32_t size, const char* part)
{
    size_t length = strlen(buffer);
    size_t room = size - length - 1;
    bool endsWithSep = length > 0 && buffer[length - 1] == '/';
    if (room > 1 && !endsWithSep && part[0] != '/') {
        buffer[length++] = '/';
        buffer[length] = '\0';
        room--;
    }
    size_t partLength = strlen(part);
    if (partLength >= room)
        return kErrOverrun;
    memcpy(buffer + length, part, partLength + 1);
    return kErrNone;
}

kErr kDirectory_BuildPath(char* buffer, uint32_t size, const char* first, ...)
{
    const char* parts[kDIR_BUILD_PATH_PARTS];
    size_t count = 0;
    bool tooMany = false;
    va_list args;
    va_start(args, first);
    for (const char* part = first; part; part = va_arg(args, const char*)) {
        if (count == kDIR_BUILD_PATH_PARTS) {
            tooMany = true;
            break;
        }
        parts[count++] = part;
    }
    va_end(args);

    if (!buffer || size < 2)
        return kErrParam;
    buffer[0] = '\0';
    if (tooMany || count == 0)
        return kErrParam;
    for (size_t i = 0; i < count; i++) {
        if (parts[i] == buffer)
            return kErrParam;
    }
    if (strlen(parts[0]) >= (size_t)size - 1)
        return kErrOverrun;
    memcpy(buffer, parts[0], strlen(parts[0]) + 1);
    for (size_t i = 1; i < count; i++) {
        kErr err = sAppend(buffer, size, parts[i]);
        if (err)
            return err;
    }
    return kErrNone;
}
