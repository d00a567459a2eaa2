// Loads arbitrary bytes as a settings file, then checks that what was read
// survives a save and a second load unchanged, but for the entries that the
// file format cannot carry.

#include "UpdaterLib/source/KeyValueStore.h"
#include "device/core/kDirectory.h"

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>

static std::string sDirectory;

static void sRemoveDirectory()
{
    (void)kDirectory_DeleteTree(sDirectory.c_str());
}

/// The run's scratch directory, made on the first input.
static const std::string& sScratch()
{
    if (sDirectory.empty()) {
        char templ[] = "/tmp/settings-fuzz-XXXXXX";
        if (!mkdtemp(templ))
            abort();
        sDirectory = templ;
        atexit(sRemoveDirectory);
    }
    return sDirectory;
}

/// Whether a line "key=value" reads back as that entry.
static bool sCarried(const std::string& key, const std::string& value)
{
    return !key.empty() && key[0] != '#' &&
           key.find_first_of(std::string("=\r\n\0", 4)) == std::string::npos &&
           value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string in = sScratch() + "/in";
    std::string out = sScratch() + "/out";
    FILE* f = fopen(in.c_str(), "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();

    KeyValueStore store(in.c_str());
    KeyValueStore probe(store);
    for (const auto& entry : store.Entries()) {
        probe.GetInt(entry.first, 1);
        probe.GetHex(entry.first, 2);
        probe.GetBOOL(entry.first, true);
        probe.GetDouble(entry.first, 3.0);
        (void)probe[entry.first];
    }

    if (store.IsModified() || !store.Save(out.c_str()))
        abort();
    std::map<std::string, std::string> expected;
    for (const auto& entry : store.Entries()) {
        if (sCarried(entry.first, entry.second))
            expected.insert(entry);
    }
    KeyValueStore reread(out.c_str());
    if (reread.Entries() != expected)
        abort();
    return 0;
}
