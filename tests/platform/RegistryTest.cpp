// The settings store as a REGEDIT4 file: whatever bytes it is given come
// back, other programs' keys and odd lines survive a rewrite, and a failed
// write or a broken file never costs the user the file.

#include "ConfigFolder.h"
#include "ExceptionText.h"
#include "FileSizeLimit.h"
#include "Registry.h"
#include "WholeFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;
using reg::TRegistry;
using testsupport::MessageOf;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

namespace {

const char* const kSettingsKey = "Software\\Brenlow\\Tarrowin\\";
const std::string kOwnKeyFile = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\n";

std::vector<std::string> FolderEntries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RegistryTest : public ConfigFolderTest {
protected:
    // Makes the store read the file afresh, as a second copy of the program
    // starting up would.
    void ForgetCache()
    {
        reg::SetFilePath(root_ + "/elsewhere.reg");
        {
            TRegistry r;
            r.OpenKey(kSettingsKey, false);
        }
        reg::SetFilePath(regPath_);
    }
    std::string Folder() const { return fs::path(regPath_).parent_path().string(); }
};

TEST_F(RegistryTest, EveryByteRoundTripsInValuesAndNames)
{
    std::string all;
    for (int b = 1; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
        r.WriteString("all", all);
        r.WriteString(all, "named with every byte");
        r.WriteString("escapes", "\\x41\"=\"\\");
        r.WriteInteger("min", INT32_MIN);
    }
    ForgetCache();
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.ReadString("all"), all);
    EXPECT_EQ(r.ReadString(all), "named with every byte");
    EXPECT_EQ(r.ReadString("escapes"), "\\x41\"=\"\\");
    EXPECT_EQ(r.ReadInteger("min"), INT32_MIN);
}

TEST_F(RegistryTest, LinesEndingInAStrayCarriageReturnSurviveEveryRewrite)
{
    WriteWholeFile(regPath_,
                   "REGEDIT4\r\n"
                   "; stray\r\r\n"
                   "[HKEY_CURRENT_USER\\SOFTWARE\\Brenlow\\Tarrowin]\n"
                   "\"n\"=dword:00000001\n"
                   "; at the end\r\r\n");
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    r.WriteInteger("n", 2);
    const std::string first = ReadWholeFile(regPath_);
    EXPECT_NE(first.find("; stray\r\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("; at the end\r\r\n"), std::string::npos) << first;
    ForgetCache();
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.ReadInteger("n"), 2);
    r.WriteInteger("n", 3);
    std::string second = ReadWholeFile(regPath_);
    second.replace(second.find("dword:00000003"), 14, "dword:00000002");
    EXPECT_EQ(second, first) << "a rewrite must not eat one carriage return at a time";
}

TEST_F(RegistryTest, KeysAndChangesOfOtherProgramsAreKept)
{
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    r.WriteString("mine", "1");
    ASSERT_EQ(r.ReadString("mine"), "1");

    auto withMine = [](const std::string& mine) {
        return kOwnKeyFile + "\"mine\"=\"" + mine + "\"\n\"theirs\"=\"2\"\n\n[HKEY_CURRENT_USER\\Software\\Foreign]\n" +
               "\"x\"=dword:00000001\n";
    };
    // Another program replaces the file the way a careful writer does.
    WriteWholeFile(regPath_ + ".other", withMine("1"));
    fs::rename(regPath_ + ".other", regPath_);
    EXPECT_EQ(r.ReadString("theirs"), "2");
    r.WriteString("mine", "3");
    EXPECT_EQ(ReadWholeFile(regPath_), withMine("3"));
    EXPECT_TRUE(notices_.empty());
}

TEST_F(RegistryTest, FailedWriteLeavesFileAndValuesAsTheyWere)
{
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    r.WriteString("MemoIn", "old");
    const std::string before = ReadWholeFile(regPath_);
    // A write too large for the space the file may take, as on a full disk.
    auto writeTooMuch = [&](const std::string& name) {
        FileSizeLimit limit(before.size() + 64);
        return MessageOf([&] { r.WriteString(name, std::string(10000, 'x')); });
    };
    EXPECT_EQ(writeTooMuch("MemoIn"), "Konnte Daten f\xfcr 'MemoIn' nicht setzen");
    EXPECT_EQ(ReadWholeFile(regPath_), before);
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"Tarrowin.reg"}) << "no temporary file left behind";
    EXPECT_EQ(r.ReadString("MemoIn"), "old");
    writeTooMuch("EditSend");
    EXPECT_FALSE(r.ValueExists("EditSend")) << "a failed new value must not linger in memory";
}

TEST_F(RegistryTest, ABrokenFileIsKeptAsideReportedAndNeverOverwritten)
{
    const std::string broken = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\nnonsense\n";
    WriteWholeFile(regPath_, broken);
    TRegistry r;
    EXPECT_FALSE(r.OpenKey(kSettingsKey, false)) << "continues with an empty registry";

    auto names = FolderEntries(Folder());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("Tarrowin.reg.broken-", 0), 0u) << names[0];
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(names[0]), std::string::npos) << notices_[0];

    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    r.WriteString("TXEN", "true");
    EXPECT_EQ(ReadWholeFile(Folder() + "/" + names[0]), broken);
    EXPECT_EQ(notices_.size(), 1u) << "reported once";
}

TEST_F(RegistryTest, BrokenFileThatCannotBeMovedIsNeverOverwritten)
{
    // A name so long that the ".broken-..." name no longer fits the file
    // system's limit, while the temporary file of a write still would.
    regPath_ = root_ + "/cfg/" + std::string(236, 'r');
    reg::SetFilePath(regPath_);
    WriteWholeFile(regPath_, "not a registry file");

    TRegistry r;
    EXPECT_FALSE(r.OpenKey(kSettingsKey, true));
    EXPECT_ANY_THROW(r.WriteString("TXEN", "true"));
    EXPECT_EQ(ReadWholeFile(regPath_), "not a registry file");
    ASSERT_EQ(notices_.size(), 1u);

}

} // namespace
