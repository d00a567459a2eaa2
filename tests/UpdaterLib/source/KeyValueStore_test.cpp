#include "UpdaterLib/source/KeyValueStore.h"
#include "device/core/kFile.h"

#include "tests/device/core/test_paths.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

class KeyValueStoreTest : public ScratchDirTest
{
protected:
    std::string WriteText(const std::string& name, const std::string& text)
    {
        std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static std::string ReadText(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> DirectoryEntries()
    {
        std::vector<std::string> names;
        DIR* d = opendir(dir.c_str());
        while (struct dirent* entry = d ? readdir(d) : nullptr) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        }
        if (d)
            closedir(d);
        return names;
    }

    LogCapture log{DEBUG_Attributes};
};

// "Thu Jan  1 00:00:00 1970": weekday, month, space-padded day, time, year.
static const std::regex TIME_TEXT("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] "
                                  "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithItsTimeStamps)
{
    std::string path = Path(".settings");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(log.Text(), "Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n");
    EXPECT_EQ(store.FileName(), path);
    EXPECT_FALSE(store.IsModified());

    std::string text = ReadText(path);
    std::smatch match;
    ASSERT_TRUE(
        std::regex_match(text, match, std::regex("CREATED_TIME=(.{24})\nUPDATED_TIME=(.{24})\n")))
        << text;
    EXPECT_TRUE(std::regex_match(match[1].str(), TIME_TEXT)) << match[1];
    EXPECT_TRUE(std::regex_match(match[2].str(), TIME_TEXT)) << match[2];
    EXPECT_EQ(store.GetString("CREATED_TIME"), match[1].str());
    EXPECT_EQ(DirectoryEntries().size(), 1u) << "no temporary file is left";
}

TEST_F(KeyValueStoreTest, LinesAreReadByTheFileRules)
{
    std::string path = WriteText("s", "  key one \t=  value two  \n"
                                      "p=q=r\n"
                                      "x\n"
                                      "#comment=1\n"
                                      " #hash=2\n"
                                      "dup=1\ndup=2\ndup=3\n"
                                      "no equals sign here\n"
                                      "empty=\n"
                                      "\tcr\t= v \r\n"
                                      "=orphan\n"
                                      "last=1");
    KeyValueStore store(path.c_str());
    std::map<std::string, std::string> expected = {{"key one", "value two"},
                                                   {"p", "q=r"},
                                                   {"#hash", "2"},
                                                   {"dup", "3"},
                                                   {"empty", ""},
                                                   {"cr", "v"},
                                                   {"", "orphan"},
                                                   {"last", "1"}};
    EXPECT_EQ(store.Entries(), expected);
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(log.Text(), "") << "an existing file is read, not created";

    // Loading merges into what the store holds.
    std::string more = WriteText("t", "dup=4\nnew=5\n");
    store.Load(more.c_str());
    EXPECT_STREQ(store["dup"], "4");
    EXPECT_STREQ(store["p"], "q=r");
    EXPECT_EQ(store.FileName(), more);
}

TEST_F(KeyValueStoreTest, NumericGettersInsertTheKeyAndSaveWritesIt)
{
    std::string path = WriteText("s", "LATEST_TRANSFER=/tmp/file.bird\nLATEST=1234.bird\n"
                                      "HEX=0x1f\nBOOL=2\nOFF=0\nDOUBLE=2.5x\nBIG=99999999999\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 7), 7);
    EXPECT_STREQ(store["LATEST_DOWNLOAD"], "");
    EXPECT_FALSE(store.IsModified()) << "the inserted key does not modify the store";
    EXPECT_EQ(store.GetInt("LATEST"), 1234);
    EXPECT_EQ(store.GetInt("LATEST_TRANSFER", 9), 0);
    EXPECT_EQ(store.GetInt("BIG"), INT_MAX);
    EXPECT_EQ(store.GetHex("HEX"), 0x1Fu);
    EXPECT_EQ(store.GetHex("NOHEX", 0xAB), 0xABu);
    EXPECT_TRUE(store.GetBOOL("BOOL"));
    EXPECT_FALSE(store.GetBOOL("OFF", true));
    EXPECT_TRUE(store.GetBOOL("NOBOOL", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("DOUBLE"), 2.5);
    EXPECT_DOUBLE_EQ(store.GetDouble("NODOUBLE", -1.5), -1.5);

    EXPECT_EQ(store.GetString("ABSENT"), "");
    EXPECT_EQ(store.GetString("ABSENT", "dflt"), "dflt");
    EXPECT_EQ(store.GetString("LATEST_DOWNLOAD", "dflt"), "") << "present, even if empty";
    EXPECT_EQ(store["ABSENT"], nullptr) << "GetString and [] never insert";

    ASSERT_TRUE(store.Save());
    std::string text = ReadText(path);
    EXPECT_NE(text.find("\nLATEST_DOWNLOAD=\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nNOHEX=\n"), std::string::npos);
    EXPECT_EQ(text.find("ABSENT"), std::string::npos);
    EXPECT_EQ(text.find("UPDATED_TIME"), std::string::npos) << "an unmodified store is not stamped";
}

TEST_F(KeyValueStoreTest, ModifiedOnlyWhenTheStoredTextChanges)
{
    KeyValueStore store;
    EXPECT_TRUE(store.Add("EMPTY", ""));
    EXPECT_FALSE(store.IsModified()) << "a new key with an empty text is no change";
    EXPECT_STREQ(store["EMPTY"], "");
    store.Add("N", 5);
    EXPECT_TRUE(store.IsModified());

    std::string path = Path("s");
    ASSERT_TRUE(store.Save(path.c_str()));
    EXPECT_FALSE(store.IsModified());
    store.Add("N", 5);
    store.Add("N", std::string("5"));
    store.Add("EMPTY", (const char*)nullptr);
    EXPECT_FALSE(store.IsModified());
    store.Add("N", "6");
    EXPECT_TRUE(store.IsModified());

    KeyValueStore numbers;
    numbers.AddHex("HEX", 255);
    EXPECT_STREQ(numbers["HEX"], "0x000000FF");
    EXPECT_EQ(numbers.GetHex("HEX"), 255u);
    numbers.Add("D", 1.5);
    EXPECT_STREQ(numbers["D"], "1.500000");
    numbers.Add("I", -42);
    EXPECT_STREQ(numbers["I"], "-42");

    KeyValueStore target;
    target.Add(KeyValueStore());
    EXPECT_FALSE(target.IsModified());
    target.Add(numbers);
    EXPECT_TRUE(target.IsModified());
    EXPECT_EQ(target.Entries(), numbers.Entries());
    target.Add(target);
    EXPECT_EQ(target.Entries().size(), 3u);

    KeyValueStore copy(store);
    EXPECT_EQ(copy.FileName(), path);
    EXPECT_TRUE(copy.IsModified());
    EXPECT_EQ(copy.Entries(), store.Entries());

    ASSERT_TRUE(store.Save());
    EXPECT_TRUE(store.Clear());
    EXPECT_TRUE(store.IsModified());
    EXPECT_TRUE(store.Entries().empty());
}

TEST_F(KeyValueStoreTest, SaveWritesSortedLinesAndStampsAModifiedStore)
{
    KeyValueStore store;
    store.Add("b", "2");
    store.Add("a", "1");
    store.Add("B", "3");
    std::string path = Path("s");
    ASSERT_TRUE(store.Save(path.c_str()));
    std::string text = ReadText(path);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, std::regex("B=3\nUPDATED_TIME=(.*)\na=1\nb=2\n")))
        << text;
    EXPECT_TRUE(std::regex_match(match[1].str(), TIME_TEXT));
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyNameUsesTheWorkingDirectory)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    KeyValueStore store;
    store.Add("K", "V");
    bool saved = store.Save();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(saved);
    EXPECT_EQ(store.FileName(), ".settings");
    EXPECT_TRUE(
        log.Contains("Attibutes: no filename given for attributes, using default:[.settings]\n"));
    EXPECT_NE(ReadText(Path(".settings")).find("K=V\n"), std::string::npos);
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{".settings"});
}

TEST_F(KeyValueStoreTest, AFailedSaveLeavesTheOldFileAlone)
{
    std::string path = WriteText("s", "OLD=kept\n");
    KeyValueStore store(path.c_str());
    store.Add("NEW", std::string(500, 'n'));

    // Writes beyond 64 bytes fail (EFBIG) for this process as they would on
    // a full disk; as root too.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool ok = store.Save();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadText(path), "OLD=kept\n");
    EXPECT_TRUE(store.IsModified());
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"s"}) << "the temporary file is gone";
    EXPECT_TRUE(
        log.Contains("Attibutes: Error - cannot write attributes file: '" + path + "' (kErrIO)\n"))
        << log.Text();

    EXPECT_TRUE(store.Save()) << "the same store saves once the disk has room";
    EXPECT_FALSE(store.IsModified());

    log.Clear();
    EXPECT_FALSE(store.Save(Path("no/such/dir/s").c_str()));
    EXPECT_TRUE(log.Contains("Attibutes: Error - cannot open attributes file for writting: '" +
                             Path("no/such/dir/s") + "' (2)\n"));
}

TEST_F(KeyValueStoreTest, ASaveIntoAReadOnlyDirectoryFails)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only directories";
    std::string path = WriteText("s", "OLD=kept\n");
    KeyValueStore store(path.c_str());
    store.Add("NEW", "x");
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    bool ok = store.Save();
    chmod(dir.c_str(), 0755);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadText(path), "OLD=kept\n");
    EXPECT_TRUE(log.Contains("for writting: '" + path + "' (13)\n"));
}

TEST_F(KeyValueStoreTest, AnExistingUnreadableFileIsNotReplaced)
{
    // A directory in the place of the file opens but cannot be read.
    std::string path = Path(".settings");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    KeyValueStore store(path.c_str());
    EXPECT_TRUE(log.Contains("Attibutes: Error - cannot read attributes file: '" + path + "'"))
        << log.Text();
    EXPECT_TRUE(store.Entries().empty()) << "nothing was created";
    EXPECT_TRUE(kDirectory_Exists(path.c_str()));
    EXPECT_EQ(store.ReadError(), EISDIR);
    store.Add("NEW", "x");
    EXPECT_FALSE(store.Save()) << "what the file holds is not in the store";

    if (geteuid() != 0) {
        std::string locked = WriteText("locked", "A=1\n");
        ASSERT_EQ(chmod(locked.c_str(), 0), 0);
        log.Clear();
        KeyValueStore unreadable(locked.c_str());
        EXPECT_EQ(log.Text(),
                  "Attibutes: Error - cannot open attributes file: '" + locked + "' (13)\n");
        EXPECT_TRUE(unreadable.Entries().empty());
        chmod(locked.c_str(), 0644);
        EXPECT_EQ(ReadText(locked), "A=1\n");
    }

    // A path through a plain file names no file at all: the attempt to
    // create it fails and both failures are logged.
    std::string plain = WriteText("plain", "x");
    log.Clear();
    KeyValueStore inside((plain + "/.settings").c_str());
    EXPECT_TRUE(log.Contains("cannot open attributes file: '" + plain + "/.settings' (20)\n"));
    EXPECT_TRUE(log.Contains("for writting: '" + plain + "/.settings' (20)\n"));
    EXPECT_EQ(inside.Entries().size(), 2u) << "the time stamps stay in memory";
    EXPECT_EQ(inside.FileName(), plain + "/.settings");
}

TEST_F(KeyValueStoreTest, ASaveKilledBeforeItsRenameIsClearedByTheNextSave)
{
    std::string path = WriteText(".settings", "OLD=kept\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed after its write, before its rename.
        char temporary[kFILE_PATH_MAX + 1];
        kFile* file = kFile_OpenTemporary(path.c_str(), temporary, sizeof(temporary));
        _exit(file && kFile_Printf(file, "NEW=only\n") == kErrNone && kFile_Sync(file) == kErrNone
                  ? 0
                  : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(DirectoryEntries().size(), 2u);
    EXPECT_EQ(ReadText(path), "OLD=kept\n");

    KeyValueStore store(path.c_str());
    store.Add("NEW", "x");
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{".settings"});
}

TEST_F(KeyValueStoreTest, OverlongLinesAreSkippedAndReadingGoesOn)
{
    std::string longValue(3000, 'v');
    std::string fits(2047 - 2, 'f'); // "F=" and 2045 characters fill the buffer
    std::string path =
        WriteText("s", "A=1\nLONG=" + longValue + "\nB=2\nF=" + fits + "\nC=3\nE=" + fits);
    KeyValueStore store(path.c_str());
    EXPECT_STREQ(store["A"], "1");
    EXPECT_EQ(store["LONG"], nullptr);
    EXPECT_STREQ(store["B"], "2");
    EXPECT_EQ(store.GetString("F"), fits) << "a line whose newline alone did not fit is whole";
    EXPECT_STREQ(store["C"], "3");
    EXPECT_EQ(store.GetString("E"), fits) << "a full last line without newline is whole";
    EXPECT_EQ(store.Entries().size(), 5u);
    EXPECT_EQ(log.Text(), "Attibutes: skipped a line too long in '" + path + "'\n");

    std::string tail = WriteText("t", "A=1\nLONG=" + longValue);
    KeyValueStore ends(tail.c_str());
    EXPECT_EQ(ends.Entries().size(), 1u);
}

TEST_F(KeyValueStoreTest, SaveSkipsEntriesTheReaderCouldNotGiveBack)
{
    KeyValueStore store;
    store.Add("", "empty key");
    store.Add("a=b", "1");
    store.Add("line\nbreak", "2");
    store.Add("car\rriage", "3");
    store.Add("ok", "4");
    store.Add("v1", "x\ny");
    store.Add("v2", "x\rz");
    store.Add(std::string("n\0l", 3), "5");
    store.Add("v3", std::string("a\0b", 3));
    store.Add("fine", "spaces inside = ok");
    std::string path = Path("s");
    ASSERT_TRUE(store.Save(path.c_str()));
    std::string text = ReadText(path);
    EXPECT_EQ(std::regex_replace(text, std::regex("UPDATED_TIME=.*\n"), ""),
              "fine=spaces inside = ok\nok=4\n");
    for (const char* key :
         {"[]", "[a=b]", "[line?break]", "[car?riage]", "[v1]", "[v2]", "[n?l]", "[v3]"})
        EXPECT_TRUE(log.Contains(std::string("Attibutes: skipping entry that cannot be written: ") +
                                 key + "\n"))
            << key;
    EXPECT_STREQ(store["v1"], "x\ny") << "skipped entries stay in memory";
}
