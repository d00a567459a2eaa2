#include "UpdaterLib/source/UpdaterStore.h"

#include "device/core/kFile.h"
#include "tests/UpdaterLib/source/bird_fixture.h"
#include "tests/device/core/test_paths.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

class UpdaterStoreTest : public ScratchDirTest
{
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        base = Path("home/.kelvane/updater");
    }
    static std::string ReadText(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void WriteText(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::set<std::string> Names(const std::string& directory)
    {
        std::set<std::string> names;
        DIR* d = opendir(directory.c_str());
        while (struct dirent* entry = d ? readdir(d) : nullptr) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.insert(entry->d_name);
        }
        if (d)
            closedir(d);
        return names;
    }
    template <typename F>
    static std::string ErrorOf(F&& action)
    {
        try {
            action();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }

    LogCapture log{DEBUG_Updater};
    std::string base;
};

TEST_F(UpdaterStoreTest, UnitsAreNamedBySerialNumberAndCreatedWithTheirParents)
{
    UpdaterStore store(base);
    EXPECT_STREQ(store.BasePath(), base.c_str());
    EXPECT_TRUE(kDirectory_Exists(base.c_str())) << "the missing parents are created too";
    EXPECT_EQ(log.Text(), "UpdaterStore: Created directory [" + base + "].\n");

    log.Clear();
    UpdaterStoreItem unit = store.AddDevice(0x2B);
    std::string unitPath = base + "/0000002B";
    EXPECT_EQ(log.Text(), "UpdaterStore: Created directory [" + unitPath + "].\n");
    EXPECT_TRUE(unit.IsValid());
    EXPECT_EQ(unit.BasePath(), base);
    EXPECT_EQ(unit.Name(), "0000002B");
    EXPECT_EQ(unit.Type(), STORE_ITEM_DIRECTORY);
    EXPECT_EQ(unit.Path(), unitPath);
    EXPECT_EQ(unit.Settings().FileName(), unitPath + "/.settings");
    EXPECT_NE(unit.Settings()["CREATED_TIME"], nullptr);
    EXPECT_EQ(Names(unitPath), std::set<std::string>{".settings"});

    log.Clear();
    UpdaterStoreItem found;
    EXPECT_EQ(found.Type(), STORE_ITEM_NONE);
    EXPECT_FALSE(found.IsValid());
    ASSERT_TRUE(store.FindDevice(0x2B, &found));
    EXPECT_EQ(found.Name(), "0000002B");
    EXPECT_EQ(found.Type(), STORE_ITEM_DIRECTORY);
    EXPECT_EQ(found.Settings().Entries(), unit.Settings().Entries());
    EXPECT_TRUE(log.Contains("_find_item([" + unitPath + "], 1, "));
    EXPECT_TRUE(log.Contains("searching for 0000002B\n"));
    EXPECT_TRUE(log.Contains("UpdaterStore: FindDevice Found 0000002B.\n"));
}

TEST_F(UpdaterStoreTest, AnExistingUnitIsLeftAsItIs)
{
    std::string unitPath = base + "/DEADDEAD";
    ASSERT_EQ(kDirectory_Ensure(unitPath.c_str(), 0755), kErrNone);
    WriteText(unitPath + "/.settings", "CREATED_TIME=long ago\nLATEST_DOWNLOAD=7.bird\n");
    WriteText(unitPath + "/7.bird", "bird");

    UpdaterStore store(base);
    EXPECT_EQ(log.Text(), "UpdaterStore: [" + base + "] already exists.\n");
    log.Clear();
    UpdaterStoreItem unit = store.AddDevice(0xDEADDEAD);
    EXPECT_EQ(log.Text(), "UpdaterStore: [" + unitPath + "] already exists.\n");
    EXPECT_EQ(unit.Settings().GetInt("LATEST_DOWNLOAD", 0), 7);
    EXPECT_EQ(ReadText(unitPath + "/.settings"), "CREATED_TIME=long ago\nLATEST_DOWNLOAD=7.bird\n");
    EXPECT_EQ(ReadText(unitPath + "/7.bird"), "bird");
    EXPECT_EQ(Names(unitPath), (std::set<std::string>{".settings", "7.bird"}));
}

TEST_F(UpdaterStoreTest, AFileInThePlaceOfADirectory)
{
    UpdaterStore store(base);
    std::string unitPath = base + "/0000002B";
    WriteText(unitPath, "not a directory");

    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x2B, &item));
    EXPECT_EQ(item.Type(), STORE_ITEM_FILE);
    EXPECT_EQ(ErrorOf([&] { store.AddDevice(0x2B); }),
              "UpdaterStore: " + unitPath + " exists and is a file");
    EXPECT_EQ(ReadText(unitPath), "not a directory");

    EXPECT_EQ(ErrorOf([&] { UpdaterStore onAFile(unitPath); }),
              "UpdaterStore: " + unitPath + " exists and is a file");
    EXPECT_EQ(ErrorOf([&] { UpdaterStore below(unitPath + "/sub"); }),
              "UpdaterStore: Could not create directory " + unitPath + "/sub error 12");
}

TEST_F(UpdaterStoreTest, DevicesMatchByTheirWholeName)
{
    UpdaterStore store(base);
    ASSERT_EQ(mkdir((base + "/10000002B").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base + "/0000002B0").c_str(), 0755), 0);
    log.Clear();
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x2B, &item));
    EXPECT_FALSE(item.IsValid());
    EXPECT_TRUE(log.Contains("UpdaterStore: FindDevice Not Found 0000002B.\n"));
    EXPECT_TRUE(store.FindDevice("10000002B", nullptr));
    EXPECT_FALSE(store.FindDevice(".", nullptr));
    EXPECT_FALSE(store.FindDevice("..", nullptr));
    EXPECT_FALSE(store.FindDevice("", nullptr));
    EXPECT_FALSE(store.FindDevice(nullptr, nullptr));

    for (const char* bad : {"", ".", "..", "a/b"})
        EXPECT_EQ(ErrorOf([&] { store.AddDevice(bad); }),
                  std::string("UpdaterStore: invalid device name [") + bad + "]");

    (void)kDirectory_DeleteTree(base.c_str());
    EXPECT_FALSE(store.FindDevice("10000002B", nullptr)) << "a base that cannot be listed";
}

TEST_F(UpdaterStoreTest, WriteFileReplacesTheFileWhole)
{
    UpdaterStore store(base);
    UpdaterStoreItem unit = store.AddDevice(1);
    std::string path = unit.Path() + "/5.bird";
    const uint8_t bytes[] = {'b', 'i', 'r', 'd', 1, 1, 0};
    EXPECT_EQ(unit.WriteFile("5.bird", nullptr, 7), kErrNotFound);
    EXPECT_FALSE(kFile_Exists(path.c_str()));

    EXPECT_EQ(unit.WriteFile("5.bird", bytes, sizeof(bytes)), kErrNone);
    EXPECT_EQ(ReadText(path), std::string((const char*)bytes, sizeof(bytes)));
    EXPECT_EQ(unit.WriteFile("5.bird", bytes, 4), kErrNone);
    EXPECT_EQ(ReadText(path), "bird");
    EXPECT_TRUE(unit.FileExists("5.bird"));
    EXPECT_FALSE(unit.FileExists("5.bir"));
    EXPECT_FALSE(unit.FileExists("5"));

    // A write that fails part way, as on a full disk, leaves the old file.
    log.Clear();
    std::vector<uint8_t> big(100000, 0x5A);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    kErr err = unit.WriteFile("5.bird", big.data(), big.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(err, kErrIO);
    EXPECT_EQ(ReadText(path), "bird");
    EXPECT_EQ(Names(unit.Path()), (std::set<std::string>{".settings", "5.bird"}));

    EXPECT_EQ(UpdaterStoreItem().WriteFile("5.bird", bytes, 4), kErrParam);
    EXPECT_EQ(unit.WriteFile("", bytes, 4), kErrParam);
    EXPECT_EQ(unit.WriteFile("none/5.bird", bytes, 4), kErrNotFound);
    EXPECT_EQ(log.Text(), "") << "WriteFile logs nothing";
}

TEST_F(UpdaterStoreTest, ReadBirdFileChecksTheHeaderFirst)
{
    using namespace bird_fixture;
    UpdaterStore store(base);
    UpdaterStoreItem unit = store.AddDevice(0x10);
    Bytes good = File(Image({Identity("12", "1.0", "00000010", "PodNet")}));
    ASSERT_EQ(unit.WriteFile("12.bird", good.data(), good.size()), kErrNone);
    BirdFile file = unit.ReadBirdFile("12.bird");
    EXPECT_EQ(file.GetBuild(), 12u);
    EXPECT_EQ(file.GetFilename(), unit.Path() + "/12.bird");

    Bytes renamed = File(Image({}), "BIRD");
    ASSERT_EQ(unit.WriteFile("13.bird", renamed.data(), renamed.size()), kErrNone);
    EXPECT_EQ(ErrorOf([&] { unit.ReadBirdFile("13.bird"); }),
              "Invalid bird " + unit.Path() + "/13.bird");
    EXPECT_EQ(ErrorOf([&] { unit.ReadBirdFile("14.bird"); }),
              "Invalid bird " + unit.Path() + "/14.bird");
    Bytes broken = {'b', 'i', 'r', 'd', 1, 1, 0x78, 0x00};
    ASSERT_EQ(unit.WriteFile("15.bird", broken.data(), broken.size()), kErrNone);
    EXPECT_EQ(ErrorOf([&] { unit.ReadBirdFile("15.bird"); }), "Failed to load bird data");
    EXPECT_EQ(ErrorOf([&] { UpdaterStoreItem().ReadBirdFile("12.bird"); }), "Invalid bird 12.bird");
}

TEST_F(UpdaterStoreTest, LocalBuildsAreTheUnitsVisibleEntries)
{
    UpdaterStore store(base);
    UpdaterStoreItem unit = store.AddDevice(0xABCD);
    WriteText(unit.Path() + "/1.bird", "x");
    WriteText(unit.Path() + "/22.bird", "yy");
    WriteText(unit.Path() + "/.hidden", "z");
    ASSERT_EQ(mkdir((unit.Path() + "/sub").c_str(), 0755), 0);

    log.Clear();
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0xABCD, items));
    std::set<std::string> names;
    for (const UpdaterStoreItem& item : items) {
        names.insert(item.Name());
        EXPECT_EQ(item.BasePath(), unit.Path());
        EXPECT_EQ(item.Type(), item.Name() == "sub" ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    EXPECT_EQ(names, (std::set<std::string>{"1.bird", "22.bird", "sub"}));
    EXPECT_TRUE(log.Contains("_find_items([" + unit.Path() + "/22.bird], 0, 2)\n"));
    EXPECT_TRUE(log.Contains("_find_items([" + unit.Path() + "/.hidden], 0, 1)\n"));

    // A BIRD file has no settings file of its own: the item holds the time
    // stamps only in memory, and nothing is created.
    auto bird = std::find_if(items.begin(), items.end(),
                             [](const UpdaterStoreItem& item) { return item.Name() == "1.bird"; });
    ASSERT_NE(bird, items.end());
    EXPECT_EQ(bird->Settings().Entries().size(), 2u);
    EXPECT_EQ(ReadText(unit.Path() + "/1.bird"), "x");
    EXPECT_TRUE(kFile_Exists((unit.Path() + "/sub/.settings").c_str()));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x1234, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, ItemsCopyTheirSettings)
{
    UpdaterStore store(base);
    UpdaterStoreItem unit = store.AddDevice(7);
    unit.Settings().Add("LATEST_TRANSFER", "3.bird");
    UpdaterStoreItem copy(unit);
    UpdaterStoreItem assigned;
    assigned = unit;
    EXPECT_STREQ(copy.Settings()["LATEST_TRANSFER"], "3.bird");
    EXPECT_STREQ(assigned.Settings()["LATEST_TRANSFER"], "3.bird");
    EXPECT_EQ(assigned.Name(), "00000007");
    EXPECT_TRUE(assigned.Settings().IsModified());
    copy.Settings().Add("LATEST_TRANSFER", "4.bird");
    EXPECT_STREQ(unit.Settings()["LATEST_TRANSFER"], "3.bird");

    ASSERT_TRUE(unit.Settings().Save());
    UpdaterStoreItem again;
    ASSERT_TRUE(store.FindDevice(7, &again));
    EXPECT_EQ(again.Settings().GetInt("LATEST_TRANSFER", 0), 3);
}
