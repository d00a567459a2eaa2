#include "UpdaterLib/source/KeyValueStore.h"

#include "device/core/kError.h"
#include "device/core/kFile.h"
#include "device/core/kLog.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

enum { LINE_BUFFER_SIZE = 2048 };

using EntryMap = std::map<std::string, std::string>;

namespace
{

/// The local time in ctime's form, without its newline.
std::string _time_text()
{
    time_t now = time(nullptr);
    char text[32];
    if (!ctime_r(&now, text))
        return "";
    text[strcspn(text, "\n")] = '\0';
    return text;
}

} // namespace

KeyValueStore::KeyValueStore(const char* path)
{
    if (path)
        Load(path);
}

const char* KeyValueStore::operator[](const std::string& key) const
{
    auto found = entries.find(key);
    return found == entries.end() ? nullptr : found->second.c_str();
}

int KeyValueStore::GetInt(const std::string& key, int defaultValue)
{
    const std::string& value = entries[key];
    if (value.empty())
        return defaultValue;
    long number = strtol(value.c_str(), nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    return number < INT_MIN ? INT_MIN : (int)number;
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue)
{
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : (uint32_t)strtol(value.c_str(), nullptr, 16);
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue)
{
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : strtol(value.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue)
{
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : strtod(value.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const
{
    auto found = entries.find(key);
    if (found != entries.end())
        return found->second;
    return defaultValue ? defaultValue : "";
}

bool KeyValueStore::Store(const std::string& key, const std::string& text)
{
    auto found = entries.find(key);
    if (found == entries.end()) {
        entries.emplace(key, text);
        if (!text.empty())
            modified = true;
    } else if (found->second != text) {
        found->second = text;
        modified = true;
    }
    return true;
}

bool KeyValueStore::Add(const std::string& key, int value)
{
    char text[16];
    snprintf(text, sizeof(text), "%d", value);
    return Store(key, text);
}

bool KeyValueStore::Add(const std::string& key, double value)
{
    // "%f" of the largest double needs 317 characters.
    char text[400];
    snprintf(text, sizeof(text), "%f", value);
    return Store(key, text);
}

bool KeyValueStore::Add(const std::string& key, const char* value)
{
    return Store(key, value ? value : "");
}

bool KeyValueStore::Add(const std::string& key, const std::string& value)
{
    return Store(key, value);
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return Store(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    if (other.entries.empty())
        return true;
    EntryMap copy = other.entries;
    for (auto& entry : copy)
        entries[entry.first] = std::move(entry.second);
    modified = true;
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    modified = true;
    return true;
}

namespace
{

/// One line by the file's rules: blank-ish and "#" lines and lines without
/// "=" are no entries; key and value lose surrounding white space.
void _parse_line(const char* line, size_t length, EntryMap& entries)
{
    if (length < 3 || line[0] == '#')
        return;
    const char* end = line + length;
    const char* key = line;
    while (key < end && isspace((unsigned char)*key))
        key++;
    const char* equals = (const char*)memchr(key, '=', (size_t)(end - key));
    if (!equals)
        return;
    const char* keyEnd = equals;
    while (keyEnd > key && isspace((unsigned char)keyEnd[-1]))
        keyEnd--;
    const char* value = equals + 1;
    while (value < end && isspace((unsigned char)*value))
        value++;
    const char* valueEnd = end;
    while (valueEnd > value && isspace((unsigned char)valueEnd[-1]))
        valueEnd--;
    entries[std::string(key, keyEnd)] = std::string(value, valueEnd);
}

/// After a line that filled the buffer: true when only its newline, or the
/// end of the file, followed (the line is whole); otherwise reads on to the
/// end of the line. `err` receives the read error that ended the skip.
bool _finish_long_line(kFile* file, kErr& err)
{
    char rest[LINE_BUFFER_SIZE];
    uint32_t length = 0;
    err = kFile_ReadLine(file, rest, sizeof(rest), &length);
    if (err == kErrEOF || (err == kErrNone && strcmp(rest, "\n") == 0)) {
        err = kErrNone;
        return true;
    }
    while (err == kErrOverrun)
        err = kFile_ReadLine(file, rest, sizeof(rest), &length);
    return false;
}

// kErrNone when the whole file was read, else the read error that ended it.
kErr _read_entries(kFile* file, const std::string& path, EntryMap& entries)
{
    char line[LINE_BUFFER_SIZE];
    uint32_t length = 0;
    kErr err;
    while ((err = kFile_ReadLine(file, line, sizeof(line), &length)) != kErrEOF) {
        if (err == kErrOverrun) {
            if (!_finish_long_line(file, err)) {
                Log::log(DEBUG_Attributes, "Attibutes: skipped a line too long in '%s'\n",
                         path.c_str());
                if (err == kErrEOF)
                    break;
                if (err == kErrNone)
                    continue;
            }
        }
        if (err) {
            Log::log(DEBUG_Attributes,
                     "Attibutes: Error - cannot read attributes file: '%s' (%d)\n", path.c_str(),
                     err);
            return err;
        }
        _parse_line(line, length, entries);
    }
    return kErrNone;
}

} // namespace

void KeyValueStore::Load(const char* path)
{
    std::string name = path ? path : "";
    readError = 0;
    errno = 0;
    kFile* file = name.empty() ? nullptr : kFile_Open(name.c_str(), kFileModeRead);
    if (!file) {
        int error = name.empty() ? ENOENT : errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 name.c_str(), error);
        // Only a file that is not there is made; one that is there but cannot
        // be read keeps what it holds.
        if (!name.empty() && (error == ENOENT || error == ENOTDIR)) {
            Add(KEY_CREATED_TIME, _time_text());
            Save(name.c_str());
        } else if (!name.empty()) {
            readError = error != 0 ? error : EIO;
        }
    }
    filename = name;
    modified = false;
    if (file) {
        errno = 0;
        if (_read_entries(file, name, entries) != kErrNone)
            readError = errno != 0 ? errno : EIO;
        (void)kFile_Close(&file);
    }
}

namespace
{

/// Whether the reader would give the entry back: a line holds one entry, the
/// key ends at the first "=", and neither side may hold a NUL.
bool _writable(const std::string& key, const std::string& value)
{
    return !key.empty() && key.find_first_of(std::string("=\r\n\0", 4)) == std::string::npos &&
           value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

/// The key with line breaks shown as "?" so that a log line stays one line.
std::string _printable(const std::string& key)
{
    std::string text = key;
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = '?';
    }
    return text;
}

kErr _write_entries(kFile* file, const EntryMap& entries)
{
    for (const auto& entry : entries) {
        if (!_writable(entry.first, entry.second)) {
            Log::log(DEBUG_Attributes, "Attibutes: skipping entry that cannot be written: [%s]\n",
                     _printable(entry.first).c_str());
            continue;
        }
        kErr err = kFile_Printf(file, "%s=%s\n", entry.first.c_str(), entry.second.c_str());
        if (err)
            return err;
    }
    return kErrNone;
}

} // namespace

bool KeyValueStore::Save(const char* path)
{
    if (path && path[0] != '\0') {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    // What a file that could not be read holds is not in the store: saving
    // the store over it would lose it.
    if (readError != 0) {
        Log::log(DEBUG_Attributes, "Attibutes: not saving over unread file: '%s'\n",
                 filename.c_str());
        return false;
    }
    if (modified)
        Add(KEY_UPDATED_TIME, _time_text());

    // The new content goes to a file beside the old one and replaces it in
    // one rename, so that a failure never leaves a half-written file.
    char temporary[kFILE_PATH_MAX + 1];
    kFile* file = kFile_OpenTemporary(filename.c_str(), temporary, sizeof(temporary));
    if (!file) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), errno);
        return false;
    }
    kErr err = _write_entries(file, entries);
    err = kFile_CommitTemporary(&file, temporary, filename.c_str(), err);
    if (err) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%s)\n",
                 filename.c_str(), kError_GetErrorText(err));
        return false;
    }
    modified = false;
    return true;
}
