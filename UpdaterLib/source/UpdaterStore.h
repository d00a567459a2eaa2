#pragma once
// The local firmware store: one directory per unit under a base directory,
// named by the unit's serial number ("%08X"), holding the unit's ".settings"
// and one BIRD file per downloaded build (build + ".bird").

#include "UpdaterLib/source/BirdFile.h"
#include "UpdaterLib/source/KeyValueStore.h"
#include "device/core/kError.h"

#include <stdint.h>

#include <string>
#include <vector>

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2, ///< a default-constructed item that names nothing
};

/// One entry of the store (a unit directory, or a file in one) with its
/// settings. Copied freely; changes to the settings reach the disk only when
/// they are saved.
class UpdaterStoreItem
{
public:
    UpdaterStoreItem() = default;
    /// Loads the settings from base/name/.settings; a missing settings file
    /// is created.
    UpdaterStoreItem(const std::string& base, const std::string& name, store_item_t type);

    /// Both the base path and the name are set.
    bool IsValid() const;

    /// Writes the bytes to base/name/fileName, replacing an earlier file in
    /// one step: kErrNone; kErrNotFound for null data or a file that cannot be
    /// created; kErrParam for an invalid item or an empty file name; else the
    /// failed write's, sync's, close's or rename's code. On failure the old
    /// file stays as it was and no partial file remains.
    kErr WriteFile(const std::string& fileName, const uint8_t* data, uint64_t count) const;

    /// Loads base/name/fileName. Throws std::runtime_error "Invalid bird "
    /// + path when its header is not a BIRD header, "Failed to load bird
    /// data" when it does not load.
    BirdFile ReadBirdFile(const std::string& fileName) const;

    /// Whether the item's directory has an entry of exactly that name.
    bool FileExists(const std::string& fileName) const;

    const std::string& BasePath() const { return base; }
    const std::string& Name() const { return name; }
    store_item_t Type() const { return type; }
    /// base/name.
    std::string Path() const;
    KeyValueStore& Settings() { return settings; }
    const KeyValueStore& Settings() const { return settings; }

private:
    std::string base;
    std::string name;
    store_item_t type = STORE_ITEM_NONE;
    KeyValueStore settings;
};

class UpdaterStore
{
public:
    /// Ensures the base directory and its missing parents exist (0755).
    /// Throws std::runtime_error "UpdaterStore: Could not create directory
    /// <path> error <code>" or "UpdaterStore: <path> exists and is a file".
    explicit UpdaterStore(const std::string& basePath);

    const char* BasePath() const { return base.c_str(); }

    /// Ensures the unit directory base/"%08X" and returns its item with its
    /// settings; throws as the constructor does.
    UpdaterStoreItem AddDevice(uint32_t serialNumber);
    /// As above for a directory name, which must be a single non-empty path
    /// component (else std::runtime_error "UpdaterStore: invalid device name
    /// [<name>]").
    UpdaterStoreItem AddDevice(const char* name);

    /// Whether the base directory has an entry of exactly that name; fills
    /// `item` (may be null) when it has. False when the base cannot be listed.
    bool FindDevice(const char* name, UpdaterStoreItem* item) const;
    bool FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const;

    /// Appends one item per entry of the unit's directory (names beginning
    /// with "." excepted), when the unit is in the store. Always true.
    bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const;

private:
    std::string base;
};
