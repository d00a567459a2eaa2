#pragma once
// A settings file in memory: text keys to text values, kept in key order and
// written as "key=value" lines.

#include <stdint.h>

#include <map>
#include <string>

class KeyValueStore
{
public:
    static const char* const DEFAULT_FILENAME; ///< ".settings"
    static const char* const KEY_CREATED_TIME; ///< "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME; ///< "UPDATED_TIME"

    /// An empty store; with a path, loaded from it (see Load).
    explicit KeyValueStore(const char* path = nullptr);

    /// The value's text, or null when the key is absent. The text lives
    /// until the entry changes.
    const char* operator[](const std::string& key) const;

    // The numeric getters look the key up by inserting it: an absent key is
    // afterwards present with an empty value (and saved as "KEY="), without
    // the store counting as modified. An absent or empty value gives the
    // default.

    /// The value's leading decimal digits (as atoi reads them).
    int GetInt(const std::string& key, int defaultValue = 0);
    /// The value read as hexadecimal, "0x" allowed (as strtol reads it).
    uint32_t GetHex(const std::string& key, uint32_t defaultValue = 0);
    /// True when the value read as a decimal integer is not 0.
    bool GetBOOL(const std::string& key, bool defaultValue = false);
    /// The value read as a floating-point number (as atof reads it).
    double GetDouble(const std::string& key, double defaultValue = 0.0);
    /// The value when present, even empty; else the default ("" for null).
    /// Never inserts.
    std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;

    // Each Add stores a text and sets the modified flag only when the stored
    // text changes (a new key with an empty text is no change).

    bool Add(const std::string& key, int value);         ///< "%d"
    bool Add(const std::string& key, double value);      ///< "%f"
    bool Add(const std::string& key, const char* value); ///< the text (null as "")
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value); ///< "0x%08X"
    /// Copies every entry of `other`, replacing equal keys; modified when
    /// `other` has an entry.
    bool Add(const KeyValueStore& other);
    /// Removes every entry; the store is modified.
    bool Clear();

    /// Merges the entries of the file at `path` into the store and makes it
    /// the store's file. A file that does not exist is created holding
    /// CREATED_TIME and UPDATED_TIME; a file that exists but cannot be opened
    /// or read whole is logged, left alone and gives ReadError.
    void Load(const char* path);
    /// The errno of the last Load's failure to read an existing file whole;
    /// 0 when it was read or did not exist. While it is set, Save refuses.
    int ReadError() const { return readError; }
    /// Writes every entry to the store's file (`path`, when given, becomes
    /// it; a store without one uses ".settings" in the working directory),
    /// stamping UPDATED_TIME first when the store is modified. The file is
    /// replaced in one step: on any failure the old file stays as it was,
    /// the store stays modified and the result is false. A store whose file
    /// could not be read (ReadError) is never saved.
    bool Save(const char* path = nullptr);

    bool IsModified() const { return modified; }
    const std::string& FileName() const { return filename; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

private:
    bool Store(const std::string& key, const std::string& text);

    std::string filename;
    std::map<std::string, std::string> entries;
    bool modified = false;
    int readError = 0;
};
