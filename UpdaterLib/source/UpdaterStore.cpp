#include "UpdaterLib/source/UpdaterStore.h"

#include "UpdaterLib/source/path.h"
#include "device/core/kDirectory.h"
#include "device/core/kFile.h"
#include "device/core/kLog.h"

#include <stdio.h>
#include <string.h>

#include <stdexcept>

namespace
{

std::string _serial_name(uint32_t serialNumber)
{
    char name[9];
    snprintf(name, sizeof(name), "%08X", serialNumber);
    return name;
}

void _ensure_directory(const std::string& path)
{
    if (kDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (kFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    kErr err = kDirectory_Ensure(path.c_str(), 0755);
    if (err)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

/// The entry's own name: what follows the last "/" of its full path.
std::string _entry_name(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

struct Search {
    std::string wanted;
    bool found = false;
    bool isDirectory = false;
};
struct Entry {
    std::string name;
    bool isDirectory;
};

bool _search_entry(const kDirectoryListData* entry, void* reference)
{
    Search* search = (Search*)reference;
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             entry->isDirectory ? 1 : 0, (int)entry->size, search->wanted.c_str());
    std::string name = _entry_name(entry->path);
    if (name == "." || name == ".." || name != search->wanted)
        return true;
    search->found = true;
    search->isDirectory = entry->isDirectory;
    return false;
}

/// Looks for the entry named exactly `wanted`; fills `item` (may be null).
bool _find_item(const std::string& directory, const char* wanted, UpdaterStoreItem* item)
{
    Search search;
    search.wanted = wanted ? wanted : "";
    // A directory that cannot be read holds nothing.
    (void)kDirectory_List(directory.c_str(), _search_entry, &search);
    // The item is made after the listing: loading its settings may create a
    // file in the directory being listed.
    if (search.found && item)
        *item = UpdaterStoreItem(directory, search.wanted,
                                 search.isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             search.found ? "Found" : "Not Found", search.wanted.c_str());
    return search.found;
}

bool _list_entry(const kDirectoryListData* entry, void* reference)
{
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             entry->isDirectory ? 1 : 0, (int)entry->size);
    std::string name = _entry_name(entry->path);
    if (name[0] != '.')
        ((std::vector<Entry>*)reference)->push_back({name, entry->isDirectory});
    return true;
}

void _find_items(const std::string& directory, std::vector<UpdaterStoreItem>& items)
{
    std::vector<Entry> entries;
    // A directory that cannot be read holds nothing.
    (void)kDirectory_List(directory.c_str(), _list_entry, &entries);
    for (const Entry& entry : entries)
        items.emplace_back(directory, entry.name,
                           entry.isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& name,
                                   store_item_t type)
    : base(base), name(name), type(type)
{
    // An item that names nothing has no settings file to load or create.
    if (IsValid())
        settings.Load(BuildPath(base.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME,
                                (const char*)nullptr)
                          .c_str());
}

bool UpdaterStoreItem::IsValid() const
{
    return !base.empty() && !name.empty();
}

std::string UpdaterStoreItem::Path() const
{
    return BuildPath(base.c_str(), name.c_str(), (const char*)nullptr);
}

kErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data,
                                 uint64_t count) const
{
    if (!data)
        return kErrNotFound;
    if (!IsValid() || fileName.empty())
        return kErrParam;
    std::string path =
        BuildPath(base.c_str(), name.c_str(), fileName.c_str(), (const char*)nullptr);
    // A reader of the store sees the old file or the whole new one, never a
    // part: the bytes go to a temporary file that replaces the old one.
    char temporary[kFILE_PATH_MAX + 1];
    kFile* file = kFile_OpenTemporary(path.c_str(), temporary, sizeof(temporary));
    if (!file)
        return kErrNotFound;
    kErr err = kFile_Write(file, data, count, nullptr);
    return kFile_CommitTemporary(&file, temporary, path.c_str(), err);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const
{
    if (!IsValid())
        throw std::runtime_error("Invalid bird " + fileName);
    std::string path =
        BuildPath(base.c_str(), name.c_str(), fileName.c_str(), (const char*)nullptr);
    if (!BirdFile::VerifyFile(path.c_str()))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const
{
    return IsValid() && _find_item(Path(), fileName.c_str(), nullptr);
}

UpdaterStore::UpdaterStore(const std::string& basePath) : base(basePath)
{
    _ensure_directory(base);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serialNumber)
{
    return AddDevice(_serial_name(serialNumber).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name)
{
    std::string device = name ? name : "";
    if (device.empty() || device == "." || device == ".." || device.find('/') != std::string::npos)
        throw std::runtime_error("UpdaterStore: invalid device name [" + device + "]");
    _ensure_directory(BuildPath(base.c_str(), device.c_str(), (const char*)nullptr));
    return UpdaterStoreItem(base, device, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) const
{
    return _find_item(base, name, item);
}

bool UpdaterStore::FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const
{
    return FindDevice(_serial_name(serialNumber).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serialNumber,
                                   std::vector<UpdaterStoreItem>& items) const
{
    UpdaterStoreItem unit;
    if (FindDevice(serialNumber, &unit))
        _find_items(unit.Path(), items);
    return true;
}
