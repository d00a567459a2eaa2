#include "device/core/kFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <signal.h>

#include <atomic>
#include <string>

#define kFILE_CHECK 0xFEED

struct kFileRecord {
    FILE* stream;
    int mode;
    uint16_t check;
};

static bool kVALIDFILE(const kFile* file)
{
    return file && file->check == kFILE_CHECK && file->stream;
}

static bool sPathUsable(const char* path)
{
    return path && path[0] != '\0' && strnlen(path, kFILE_PATH_MAX + 1) <= kFILE_PATH_MAX;
}

static bool sCanRead(const kFile* file)
{
    return file->mode == kFileModeRead || file->mode == kFileModeAppend;
}

static bool sCanWrite(const kFile* file)
{
    return file->mode == kFileModeWrite || file->mode == kFileModeAppend;
}

bool kFile_Exists(const char* path)
{
    struct stat st;
    if (!sPathUsable(path) || stat(path, &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

kFile* kFile_Open(const char* path, int mode)
{
    static const char* const MODES[] = {"rb", "wb", "ab+"};
    if (!sPathUsable(path) || mode < kFileModeRead || mode > kFileModeAppend)
        return nullptr;
    kFile* file = (kFile*)calloc(1, sizeof(*file));
    if (!file)
        return nullptr;
    file->stream = fopen(path, MODES[mode]);
    if (!file->stream) {
        free(file);
        return nullptr;
    }
    if (mode == kFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0) {
        fclose(file->stream);
        free(file);
        return nullptr;
    }
    file->mode = mode;
    file->check = kFILE_CHECK;
    return file;
}

kErr kFile_Close(kFile** file)
{
    if (!file)
        return kErrParam;
    kFile* f = *file;
    *file = nullptr;
    if (!kVALIDFILE(f))
        return kErrParam;
    int rc = fclose(f->stream);
    f->check = 0;
    f->stream = nullptr;
    free(f);
    return rc == 0 ? kErrNone : kErrIO;
}

kErr kFile_Read(kFile* file, void* buffer, uint64_t length, uint64_t* count)
{
    if (count)
        *count = 0;
    if (!kVALIDFILE(file))
        return kErrParam;
    if (!sCanRead(file))
        return kErrMode;
    if (!buffer)
        return kErrParam;
    size_t got = fread(buffer, 1, (size_t)length, file->stream);
    if (count)
        *count = got;
    if (got == 0 && length != 0)
        return ferror(file->stream) ? kErrIO : kErrEOF;
    return kErrNone;
}

kErr kFile_Write(kFile* file, const void* bytes, uint64_t length, uint64_t* count)
{
    if (count)
        *count = 0;
    if (!kVALIDFILE(file))
        return kErrParam;
    if (!sCanWrite(file))
        return kErrMode;
    if (!bytes && length != 0)
        return kErrParam;
    size_t put = length ? fwrite(bytes, 1, (size_t)length, file->stream) : 0;
    if (count)
        *count = put;
    return put == length ? kErrNone : kErrIO;
}

kErr kFile_Seek(kFile* file, int64_t offset, int origin)
{
    if (!kVALIDFILE(file))
        return kErrParam;
    off_t here = ftello(file->stream);
    if (here < 0 || fseeko(file->stream, 0, SEEK_END) != 0)
        return kErrIO;
    off_t end = ftello(file->stream);
    if (end < 0 || fseeko(file->stream, here, SEEK_SET) != 0)
        return kErrIO;
    int64_t base;
    switch (origin) {
    case kFileSeekStart:
        base = 0;
        break;
    case kFileSeekCurrent:
        base = here;
        break;
    case kFileSeekEnd:
        base = end;
        break;
    default:
        return kErrParam;
    }
    if ((offset < 0 && -offset > base) || (offset > 0 && offset > end - base))
        return kErrRange;
    return fseeko(file->stream, (off_t)(base + offset), SEEK_SET) == 0 ? kErrNone : kErrIO;
}

kErr kFile_GetSize(kFile* file, uint64_t* size)
{
    if (!kVALIDFILE(file) || !size)
        return kErrParam;
    *size = 0;
    struct stat st;
    if (fflush(file->stream) != 0 || fstat(fileno(file->stream), &st) != 0)
        return kErrIO;
    *size = (uint64_t)st.st_size;
    return kErrNone;
}

kErr kFile_Delete(const char* path)
{
    if (!path)
        return kErrParam;
    if (strnlen(path, kFILE_PATH_MAX + 1) > kFILE_PATH_MAX)
        return kErrFileNameLength;
    if (unlink(path) == 0)
        return kErrNone;
    switch (errno) {
    case ENOENT:
        return kErrNotFound;
    case EACCES:
    case EPERM:
        return kErrPermission;
    default:
        return kErrIO;
    }
}

kErr kFile_ReadLine(kFile* file, char* buffer, uint32_t size, uint32_t* length)
{
    if (length)
        *length = 0;
    if (buffer && size > 0)
        buffer[0] = '\0';
    if (!kVALIDFILE(file))
        return kErrParam;
    if (!sCanRead(file))
        return kErrMode;
    if (!buffer || size < 2 || !length)
        return kErrParam;
    if (!fgets(buffer, (int)size, file->stream)) {
        buffer[0] = '\0';
        return ferror(file->stream) ? kErrIO : kErrEOF;
    }
    uint32_t n = (uint32_t)strlen(buffer);
    *length = n;
    if (n == size - 1 && buffer[n - 1] != '\n')
        return kErrOverrun;
    return kErrNone;
}

kErr kFile_SetUnbuffered(kFile* file)
{
    if (!kVALIDFILE(file))
        return kErrParam;
    if (!sCanWrite(file) || setvbuf(file->stream, nullptr, _IONBF, 0) != 0)
        return kErrMode;
    return kErrNone;
}

kErr kFile_GetPosition(kFile* file, uint64_t* position)
{
    if (!kVALIDFILE(file) || !position)
        return kErrParam;
    off_t here = ftello(file->stream);
    if (here < 0)
        return kErrIO;
    *position = (uint64_t)here;
    return kErrNone;
}

kErr kFile_Printf(kFile* file, const char* format, ...)
{
    if (!kVALIDFILE(file) || !format)
        return kErrParam;
    if (!sCanWrite(file))
        return kErrMode;
    va_list args;
    va_start(args, format);
    int rc = vfprintf(file->stream, format, args);
    va_end(args);
    return rc < 0 ? kErrIO : kErrNone;
}

static kErr sErrnoToErr(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return kErrNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return kErrPermission;
    default:
        return kErrIO;
    }
}

kFile* kFile_OpenTemporary(const char* target, char* path, uint32_t size)
{
    static std::atomic<unsigned> counter{0};
    if (!sPathUsable(target) || !path || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    path[0] = '\0';
    const char* slash = strrchr(target, '/');
    int dirLength = slash ? (int)(slash - target + 1) : 0;
    const char* name = target + dirLength;
    for (int attempt = 0; attempt < 100; attempt++) {
        // O_EXCL makes the name ours even when another process (perhaps with
        // the same pid, in another namespace) picked it too: we just retry.
        int n = snprintf(path, size, "%.*s.%s.%ld-%u", dirLength, target, name, (long)getpid(),
                         counter++);
        if (n < 0 || (uint32_t)n >= size || !sPathUsable(path)) {
            path[0] = '\0';
            errno = ENAMETOOLONG;
            return nullptr;
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            break;
        kFile* file = (kFile*)calloc(1, sizeof(*file));
        FILE* stream = file ? fdopen(fd, "wb") : nullptr;
        if (!stream) {
            int error = errno;
            free(file);
            close(fd);
            unlink(path);
            errno = error;
            break;
        }
        file->stream = stream;
        file->mode = kFileModeWrite;
        file->check = kFILE_CHECK;
        return file;
    }
    path[0] = '\0';
    return nullptr;
}

kErr kFile_Sync(kFile* file)
{
    if (!kVALIDFILE(file))
        return kErrParam;
    if (!sCanWrite(file))
        return kErrMode;
    if (fflush(file->stream) != 0 || fsync(fileno(file->stream)) != 0)
        return kErrIO;
    return kErrNone;
}

kErr kFile_Rename(const char* from, const char* to)
{
    if (!sPathUsable(from) || !sPathUsable(to))
        return kErrParam;
    return rename(from, to) == 0 ? kErrNone : sErrnoToErr(errno);
}

// The directory part of `path` ("." for a bare name).
static std::string sDirectoryOf(const char* path)
{
    const char* slash = strrchr(path, '/');
    if (!slash)
        return ".";
    return slash == path ? std::string("/") : std::string(path, (size_t)(slash - path));
}

// A rename is on the disk only once its directory is: without this a crash
// soon after a save can bring back the old file, or none. A file system
// that cannot sync a directory (EINVAL) keeps its own ordering.
static kErr sSyncDirectory(const char* path)
{
    int fd = open(sDirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return kErrIO;
    int synced = fsync(fd);
    int error = errno;
    close(fd);
    return synced == 0 || error == EINVAL ? kErrNone : kErrIO;
}

// The pid in a temporary name of `name` (".NAME.PID-COUNTER"), or 0.
static long sTemporaryOwner(const char* entry, const char* name)
{
    size_t length = strlen(name);
    if (entry[0] != '.' || strncmp(entry + 1, name, length) != 0 || entry[length + 1] != '.')
        return 0;
    const char* digits = entry + length + 2;
    char* end = nullptr;
    long pid = strtol(digits, &end, 10);
    if (end == digits || *end != '-' || pid <= 0)
        return 0;
    const char* counter = end + 1;
    if (*counter == '\0' || strspn(counter, "0123456789") != strlen(counter))
        return 0;
    return pid;
}

// Removes the temporary files of `target` that a process which no longer
// runs (killed between its write and its rename) left behind; those of a
// running process are its own to finish.
static void sRemoveStaleTemporaries(const char* target)
{
    std::string directory = sDirectoryOf(target);
    const char* slash = strrchr(target, '/');
    const char* name = slash ? slash + 1 : target;
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return;
    while (struct dirent* entry = readdir(dir)) {
        long pid = sTemporaryOwner(entry->d_name, name);
        bool gone = pid != 0 && pid != (long)getpid() && kill((pid_t)pid, 0) != 0 && errno == ESRCH;
        if (!gone)
            continue;
        std::string stale = directory + "/" + entry->d_name;
        (void)kFile_Delete(stale.c_str());
    }
    closedir(dir);
}

kErr kFile_CommitTemporary(kFile** file, const char* temporary, const char* target, kErr err)
{
    if (!err)
        err = kFile_Sync(file ? *file : nullptr);
    kErr closed = kFile_Close(file);
    if (!err)
        err = closed;
    if (!err)
        err = kFile_Rename(temporary, target);
    if (err && temporary)
        (void)kFile_Delete(temporary);
    if (!err) {
        err = sSyncDirectory(target);
        sRemoveStaleTemporaries(target);
    }
    return err;
}
