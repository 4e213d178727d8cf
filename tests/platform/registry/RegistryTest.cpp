// The settings store as a REGEDIT4 file: whatever bytes it is given come
// back, other programs' keys and odd lines survive a rewrite, and a failed
// write or a broken file never costs the user the file.

#include "AsNobody.h"
#include "ConfigFolder.h"
#include "ExceptionText.h"
#include "FileSizeLimit.h"
#include "Registry.h"
#include "WholeFiles.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;
using reg::HKEY;
using reg::TRegDataType;
using reg::TRegistry;
using testsupport::ExitCodeAsNobody;
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

// Another program replacing the file the way a careful writer does.
void ReplaceFile(const std::string& path, const std::string& content)
{
    WriteWholeFile(path + ".other", content);
    fs::rename(path + ".other", path);
}

// "Tarrowin.reg.broken-YYYYMMDD-HHMMSS"
bool IsBrokenName(const std::string& name)
{
    const std::string prefix = "Tarrowin.reg.broken-";
    const std::string digits = "dddddddd-dddddd";
    if (name.size() != prefix.size() + digits.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (size_t i = 0; i < digits.size(); ++i) {
        char c = name[prefix.size() + i];
        if (digits[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != '-')
            return false;
    }
    return true;
}

std::vector<std::string> ValueNames(const TRegistry& r)
{
    std::vector<std::string> names;
    r.GetValueNames(names);
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

TEST_F(RegistryTest, FreshStartCreatesFolderKeyAndRegedit4Text)
{
    EXPECT_FALSE(fs::exists(root_ + "/cfg"));
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    EXPECT_EQ(ReadWholeFile(regPath_), kOwnKeyFile);

    r.WriteInteger("BaudRateIndex", 10);
    r.WriteInteger("PortNumIndex", -1);
    r.WriteString("TXEN", "true");
    EXPECT_EQ(ReadWholeFile(regPath_),
              kOwnKeyFile + "\"BaudRateIndex\"=dword:0000000a\n\"PortNumIndex\"=dword:ffffffff\n\"TXEN\"=\"true\"\n");
    EXPECT_TRUE(notices_.empty());
}

TEST_F(RegistryTest, TextsThatLookLikeEscapesStayText)
{
    const std::vector<std::string> tricky = {
        "\\", "\\\\", "\"", "\\\"", "\"=\"", "\\x41", "\\x4", "a\\", "\\\\x0a", "x\"\\x22\"", "@", "",
    };
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
        for (size_t i = 0; i < tricky.size(); ++i) {
            r.WriteString("v" + std::to_string(i), tricky[i]);
            r.WriteString("n" + tricky[i], std::to_string(i));
        }
    }
    ForgetCache();
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    for (size_t i = 0; i < tricky.size(); ++i) {
        EXPECT_EQ(r.ReadString("v" + std::to_string(i)), tricky[i]) << i;
        EXPECT_EQ(r.ReadString("n" + tricky[i]), std::to_string(i)) << i;
    }
}

TEST_F(RegistryTest, TextIsStoredUpToItsFirstZeroByte)
{
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    r.WriteString("z", std::string("ab\0cd", 5));
    EXPECT_EQ(r.ReadString("z"), "ab");
}

TEST_F(RegistryTest, HandWrittenFileIsReadWithItsTypesAndKeptOnRewrite)
{
    const std::string handWritten =
        "REGEDIT4\r\n"
        "\r\n"
        "; written by hand\r\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Brenlow\\Tarrowin]\r\n"
        "\"BaudRateIndex\"=DWORD:0000000A\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03,ff\r\n"
        "\"Path\"=hex(2):25,48,4f,4d,45,25,00\r\n"
        "\"decode asc<32\"=dword:00000001\r\n"
        "\"Multi\"=hex(7):61,00,62,00,00\r\n"
        "\"Big\"=hex(4):01,00,00,00,00\r\n"
        "\"Small\"=hex(4):02,01,00,00\r\n"
        "@=\"default\"\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
        "\"keep\"=\"me\"\r\n"
        "; trailing\r\n";
    WriteWholeFile(regPath_, handWritten);
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.GetDataType("BaudRateIndex"), TRegDataType::rdInteger);
    EXPECT_EQ(r.GetDataType("Blob"), TRegDataType::rdBinary);
    EXPECT_EQ(r.GetDataType("Path"), TRegDataType::rdExpandString);
    EXPECT_EQ(r.GetDataType("Multi"), TRegDataType::rdUnknown);
    EXPECT_EQ(r.GetDataType(""), TRegDataType::rdString);
    EXPECT_EQ(r.GetDataType("missing"), TRegDataType::rdUnknown);

    EXPECT_EQ(r.ReadInteger("BaudRateIndex"), 10);
    EXPECT_EQ(r.ReadInteger("Small"), 0x102);
    EXPECT_EQ(r.ReadString("Path"), "%HOME%");
    EXPECT_EQ(r.ReadString(""), "default");
    EXPECT_EQ(r.ReadString("missing"), "");
    EXPECT_TRUE(r.ValueExists("Blob"));

    EXPECT_EQ(MessageOf([&] { r.ReadString("decode asc<32"); }), "Ung\xfcltiger Datentyp f\xfcr 'decode asc<32'");
    EXPECT_EQ(MessageOf([&] { r.ReadString("Blob"); }), "Ung\xfcltiger Datentyp f\xfcr 'Blob'");
    EXPECT_EQ(MessageOf([&] { r.ReadInteger("Path"); }), "Ung\xfcltiger Datentyp f\xfcr 'Path'");
    EXPECT_EQ(MessageOf([&] { r.ReadInteger("Big"); }), "Konnte Daten f\xfcr 'Big' nicht holen");
    EXPECT_EQ(MessageOf([&] { r.ReadInteger("missing"); }), "Konnte Daten f\xfcr 'missing' nicht holen");

    // Rewritten with plain line ends, the changed value in the usual
    // spelling and a blank line before the trailing comment; else as it was.
    r.WriteInteger("BaudRateIndex", 6);
    std::string expected;
    for (char c : handWritten)
        if (c != '\r')
            expected += c;
    expected.replace(expected.find("DWORD:0000000A"), 14, "dword:00000006");
    expected.insert(expected.find("; trailing"), "\n");
    EXPECT_EQ(ReadWholeFile(regPath_), expected);
    EXPECT_TRUE(notices_.empty());
}

TEST_F(RegistryTest, Version5HeaderWithUtf8MarkIsReadAsWindows1252)
{
    // "Gruß"="Grüße" and a REG_EXPAND_SZ "%ä" in UTF-16LE, as the newer
    // header writes it.
    WriteWholeFile(regPath_,
              "\xef\xbb\xbfWindows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\n"
              "\"Gru\xc3\x9f\"=\"Gr\xc3\xbc\xc3\x9f" "e\"\n"
              "\"Exp\"=hex(2):25,00,e4,00,00,00\n");
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.ReadString("Gru\xdf"), "Gr\xfc\xdf" "e");
    EXPECT_EQ(r.ReadString("Exp"), "%\xe4");
    EXPECT_TRUE(notices_.empty());

    r.WriteString("new", "x");
    const std::string text = ReadWholeFile(regPath_);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u) << "header kept, written without mark";
    EXPECT_NE(text.find("\"Gru\xdf\"=\"Gr\xfc\xdf" "e\"\n"), std::string::npos);
}

TEST_F(RegistryTest, OrderOfKeysAndValuesIsKept)
{
    WriteWholeFile(regPath_, kOwnKeyFile + "\"c\"=\"1\"\n\"a\"=\"2\"\n\"b\"=\"3\"\n\n"
                                           "[HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports]\n"
                                           "\"/dev/ttyUSB0\"=\"COM1\"\n");
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    r.WriteString("a", "changed");
    r.WriteString("d", "new");
    EXPECT_EQ(ValueNames(r), (std::vector<std::string>{"c", "a", "b", "d"}));
    ASSERT_TRUE(r.OpenKey("Software\\Brenlow\\Zeta", true));
    r.WriteInteger("z", 1);
    EXPECT_EQ(ReadWholeFile(regPath_),
              kOwnKeyFile + "\"c\"=\"1\"\n\"a\"=\"changed\"\n\"b\"=\"3\"\n\"d\"=\"new\"\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports]\n"
              "\"/dev/ttyUSB0\"=\"COM1\"\n\n"
              "[HKEY_CURRENT_USER\\Software\\Brenlow\\Zeta]\n"
              "\"z\"=dword:00000001\n");
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCase)
{
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
        r.WriteInteger("PortNumIndex", 3);
        r.WriteString("\xc4nderung", "x"); // Änderung
    }
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("SOFTWARE\\brenlow\\TARROWIN\\", false));
    EXPECT_EQ(r.ReadInteger("portnumindex"), 3);
    EXPECT_EQ(r.ReadString("\xe4NDERUNG"), "x"); // äNDERUNG
    r.WriteInteger("PORTNUMINDEX", 4);
    EXPECT_EQ(ValueNames(r), (std::vector<std::string>{"PortNumIndex", "\xc4nderung"}));
    EXPECT_EQ(r.ReadInteger("PortNumIndex"), 4);
    const std::string text = ReadWholeFile(regPath_);
    EXPECT_EQ(text.find("[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]"),
              text.rfind("[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]"));
    EXPECT_EQ(text.find("SOFTWARE"), std::string::npos);
}

TEST_F(RegistryTest, WritingTheStoredValueAgainLeavesTheFileAlone)
{
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    r.WriteString("TXEN", "true");
    r.WriteInteger("PortNumIndex", 1);
    auto inode = [&] {
        struct stat st {};
        EXPECT_EQ(stat(regPath_.c_str(), &st), 0);
        return st.st_ino;
    };
    const auto before = inode();
    // Checked after each write: two rewrites in a row could reuse the
    // first inode number.
    r.WriteString("txen", "true");
    EXPECT_EQ(inode(), before);
    r.WriteInteger("PortNumIndex", 1);
    EXPECT_EQ(inode(), before);
    r.WriteString("TXEN", "false");
    EXPECT_NE(inode(), before);
}

TEST_F(RegistryTest, MissingKeyAndNoOpenKey)
{
    TRegistry r;
    EXPECT_FALSE(r.OpenKey(kSettingsKey, false));
    EXPECT_FALSE(fs::exists(regPath_)) << "looking must not create the file";
    EXPECT_FALSE(r.HasCurrentKey());
    EXPECT_FALSE(r.ValueExists("PortNumIndex"));
    EXPECT_TRUE(ValueNames(r).empty());
    EXPECT_EQ(r.ReadString("TXEN"), "");
    EXPECT_EQ(MessageOf([&] { r.ReadInteger("PortNumIndex"); }), "Konnte Daten f\xfcr 'PortNumIndex' nicht holen");
    EXPECT_EQ(MessageOf([&] { r.WriteInteger("PortNumIndex", 0); }), "Konnte Daten f\xfcr 'PortNumIndex' nicht setzen");
    EXPECT_EQ(MessageOf([&] { r.WriteString("TXEN", "true"); }), "Konnte Daten f\xfcr 'TXEN' nicht setzen");
}

TEST_F(RegistryTest, CreatedKeyExistsForTheNextProgramAndImpliesItsParents)
{
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("Software\\Brenlow\\Tarrowin", true));
    }
    ForgetCache();
    TRegistry r;
    EXPECT_TRUE(r.OpenKey("Software\\Brenlow\\Tarrowin", false));
    EXPECT_TRUE(r.OpenKey("Software\\Brenlow", false));
    EXPECT_FALSE(r.OpenKey("Software\\Brenlo", false));
    r.SetRootKey(HKEY::HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(r.OpenKey("Software\\Brenlow\\Tarrowin", false));
}

TEST_F(RegistryTest, ChangesByAnotherProgramAreSeenAndKept)
{
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    r.WriteString("mine", "1");
    ASSERT_EQ(r.ReadString("mine"), "1");

    auto withMine = [](const std::string& mine) {
        return kOwnKeyFile + "\"mine\"=\"" + mine + "\"\n\"theirs\"=\"2\"\n\n[HKEY_CURRENT_USER\\Software\\Foreign]\n" +
               "\"x\"=dword:00000001\n";
    };
    ReplaceFile(regPath_, withMine("1"));
    EXPECT_EQ(r.ReadString("theirs"), "2");
    r.WriteString("mine", "3");
    EXPECT_EQ(ReadWholeFile(regPath_), withMine("3"));

    // Edited in place (same file, other size) is seen as well.
    WriteWholeFile(regPath_, kOwnKeyFile + "\"mine\"=\"edited\"\n");
    EXPECT_EQ(r.ReadString("mine"), "edited");
    EXPECT_FALSE(r.ValueExists("theirs"));

    fs::remove(regPath_);
    EXPECT_FALSE(r.ValueExists("mine"));
    EXPECT_TRUE(notices_.empty());
}

TEST_F(RegistryTest, FolderThatCannotExistRefusesWrites)
{
    WriteWholeFile(root_ + "/blocker", "a file, not a folder");
    reg::SetFilePath(root_ + "/blocker/Tarrowin.reg");
    TRegistry r;
    EXPECT_FALSE(r.OpenKey(kSettingsKey, true));
    EXPECT_EQ(r.ReadString("TXEN"), "");
    EXPECT_EQ(MessageOf([&] { r.WriteInteger("PortNumIndex", 0); }), "Konnte Daten f\xfcr 'PortNumIndex' nicht setzen");
    EXPECT_EQ(ReadWholeFile(root_ + "/blocker"), "a file, not a folder");
    EXPECT_TRUE(notices_.empty());
}

TEST_F(RegistryTest, SerialCommKeyIsTheDeviceList)
{
    TRegistry r;
    r.SetRootKey(HKEY::HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(r.OpenKey("hardware\\devicemap", false));
    ASSERT_TRUE(r.OpenKey("HARDWARE\\DeviceMap\\SerialComm", false));
    EXPECT_EQ(ValueNames(r), std::vector<std::string>{"loopback"});
    EXPECT_EQ(r.ReadString("loopback"), "COM1");
    EXPECT_EQ(r.GetDataType("loopback"), TRegDataType::rdString);
    EXPECT_EQ(MessageOf([&] { r.ReadInteger("loopback"); }), "Ung\xfcltiger Datentyp f\xfcr 'loopback'");

    r.WriteString("/dev/serial/by-id/usb-b", "COM2");
    r.WriteString("/dev/serial/by-id/usb-a", "COM5");
    EXPECT_EQ(ValueNames(r),
              (std::vector<std::string>{"/dev/serial/by-id/usb-a", "/dev/serial/by-id/usb-b", "loopback"}));
    EXPECT_EQ(r.ReadString("/dev/serial/by-id/usb-a"), "COM5");
    EXPECT_EQ(r.ReadString("/dev/serial/by-id/usb-b"), "COM2");
    EXPECT_EQ(r.ReadString("/dev/ttyUSB9"), "");
    EXPECT_NE(ReadWholeFile(regPath_).find("[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n"
                                   "\"/dev/serial/by-id/usb-b\"=\"COM2\"\n"
                                   "\"/dev/serial/by-id/usb-a\"=\"COM5\"\n"),
              std::string::npos);

    TRegistry user;
    EXPECT_FALSE(user.OpenKey("hardware\\devicemap\\serialcomm", false)) << "only under HKEY_LOCAL_MACHINE";
}

// A broken file is moved aside, never overwritten, and the user is told.
class RegistryBrokenFileTest : public RegistryTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RegistryBrokenFileTest, IsKeptAsideAndReported)
{
    const std::string broken = GetParam();
    WriteWholeFile(regPath_, broken);
    TRegistry r;
    EXPECT_FALSE(r.OpenKey(kSettingsKey, false)) << "continues with an empty registry";

    const std::string folder = Folder();
    auto names = FolderEntries(folder);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(IsBrokenName(names[0])) << names[0];
    EXPECT_EQ(ReadWholeFile(folder + "/" + names[0]), broken);
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(regPath_), std::string::npos) << notices_[0];
    EXPECT_NE(notices_[0].find(names[0]), std::string::npos) << notices_[0];
    EXPECT_NE(notices_[0].find("besch\xe4" "digt"), std::string::npos) << notices_[0];

    ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
    r.WriteString("TXEN", "true");
    EXPECT_EQ(ReadWholeFile(folder + "/" + names[0]), broken);
    EXPECT_EQ(r.ReadString("TXEN"), "true");
    EXPECT_EQ(notices_.size(), 1u) << "reported once";
}

INSTANTIATE_TEST_SUITE_P(
    Registry, RegistryBrokenFileTest,
    ::testing::Values(
        "[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\n\"a\"=\"b\"\n",            // no header
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\nnonsense\n", // broken line
        "REGEDIT4\n\n\"a\"=\"b\"\n",                                                // value outside a key
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"x\\qy\"\n",                    // unknown escape
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"x\\x4\"\n",                    // short \x
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"open\n",                       // no closing quote
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"b\" c\n",                      // text after the value
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=dword:123456789\n",              // too many digits
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=dword:xyz\n",                    // not hex
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex:01,\\\n",                    // continuation missing
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex:01,,02\n",                   // empty byte
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=-\n",                            // deletion syntax
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X\n",                                     // key without ]
        "REGEDIT4\n\n[-HKEY_CURRENT_USER\\X]\n",                                   // key deletion syntax
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X\x01]\n",                                // control character in a key
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\" \"b\"\n",                       // no = after the name
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex:0g\n",                      // not a hex byte
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex(2:00\n",                    // hex( without )
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex 00\n",                      // no : after hex
        "\xef\xbb\xbfWindows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"\xff\"\n")); // bad UTF-8

TEST_F(RegistryTest, BrokenFilesSetAsideTwiceGetDistinctNames)
{
    const std::string folder = Folder();
    WriteWholeFile(regPath_, "first broken");
    TRegistry r;
    r.OpenKey(kSettingsKey, false);
    WriteWholeFile(regPath_, "second broken");
    r.OpenKey(kSettingsKey, false);
    auto names = FolderEntries(folder);
    ASSERT_EQ(names.size(), 2u);
    std::vector<std::string> contents = {ReadWholeFile(folder + "/" + names[0]), ReadWholeFile(folder + "/" + names[1])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"first broken", "second broken"}));
    EXPECT_EQ(notices_.size(), 2u);
}

TEST_F(RegistryTest, EmptyFileIsAnEmptyRegistry)
{
    WriteWholeFile(regPath_, "");
    TRegistry r;
    EXPECT_FALSE(r.OpenKey(kSettingsKey, false));
    EXPECT_TRUE(notices_.empty());
}

// Windows' registry editor exports in UTF-16 with a byte order mark; such a
// file is read like any other, as long as its text fits Windows-1252.
TEST_F(RegistryTest, AUtf16ExportIsRead)
{
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\r\n"
                             "\"TXEN\"=\"true\"\r\n\"Gr\xfc\xdf" "e\"=dword:00000007\r\n";
    std::string utf16 = "\xff\xfe";
    for (char c : text) {
        utf16.push_back(c); // Windows-1252 below 0x100 is Latin-1 here
        utf16.push_back('\0');
    }
    WriteWholeFile(regPath_, utf16);
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.ReadString("TXEN"), "true");
    EXPECT_EQ(r.ReadInteger("Gr\xfc\xdf" "e"), 7);
    EXPECT_TRUE(notices_.empty());
    r.WriteString("TXEN", "false");
    ForgetCache();
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.ReadString("TXEN"), "false");
    EXPECT_EQ(r.ReadInteger("Gr\xfc\xdf" "e"), 7);
}

// A folder where the file should be: nothing is read, the user is told
// once, and no write replaces the folder.
TEST_F(RegistryTest, AFolderInPlaceOfTheFileIsReportedAndNeverReplaced)
{
    fs::create_directories(regPath_);
    TRegistry r;
    EXPECT_FALSE(r.OpenKey(kSettingsKey, false));
    EXPECT_FALSE(r.OpenKey(kSettingsKey, true)) << "creating the key would replace the folder";
    EXPECT_TRUE(fs::is_directory(regPath_));
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find("kann nicht gelesen werden (keine gew\xf6hnliche Datei)"), std::string::npos)
        << notices_[0];
    EXPECT_NE(notices_[0].find("nicht gespeichert"), std::string::npos) << notices_[0];
}

// A file the user may not read (left behind by a run as root): the user is
// told, and the file is never overwritten with empty settings.
TEST_F(RegistryTest, AFileTheUserMayNotReadIsReportedAndNeverOverwritten)
{
    const std::string content = kOwnKeyFile + "\"TXEN\"=\"true\"\n";
    WriteWholeFile(regPath_, content);
    ASSERT_EQ(chmod(regPath_.c_str(), 0600), 0);
    for (std::string dir = Folder(); dir.size() >= root_.size(); dir = fs::path(dir).parent_path().string())
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0) << dir;
    EXPECT_EQ(ExitCodeAsNobody([&] {
                  TRegistry r;
                  if (r.OpenKey(kSettingsKey, true))
                      return 10;
                  if (r.OpenKey("Software\\Other", true))
                      return 11;
                  if (notices_.size() != 1 || notices_[0].find("kann nicht gelesen werden (open: ") == std::string::npos)
                      return 12;
                  return 0;
              }),
              0);
    EXPECT_EQ(ReadWholeFile(regPath_), content);
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"Tarrowin.reg"});
}

// A settings file kept as a link (a managed dotfile) stays a link; what it
// points to gets the new content.
TEST_F(RegistryTest, ALinkedFileStaysALinkAndItsTargetIsRewritten)
{
    const std::string target = root_ + "/dotfiles/Tarrowin.reg";
    WriteWholeFile(target, kOwnKeyFile);
    fs::create_directories(Folder());
    fs::create_symlink(target, regPath_);
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    r.WriteString("TXEN", "true");
    EXPECT_TRUE(fs::is_symlink(regPath_));
    EXPECT_EQ(ReadWholeFile(target), kOwnKeyFile + "\"TXEN\"=\"true\"\n");
}

// A pid no process has: a child that has ended and been reaped.
pid_t GonePid()
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// Saves killed halfway leave ".Tarrowin.reg.tmp-<pid>-<n>" files. The next
// first look at the file and the next save remove those whose process is
// gone, beside the file a save replaces (a link's target), and nothing else.
TEST_F(RegistryTest, TemporaryFilesOfKilledSavesGoButNeverALivingCopys)
{
    const std::string target = root_ + "/dotfiles/Tarrowin.reg";
    WriteWholeFile(target, kOwnKeyFile);
    fs::create_directories(Folder());
    fs::create_symlink(target, regPath_);
    const std::string gone = std::to_string(GonePid());
    const std::string dotfiles = root_ + "/dotfiles";
    auto tmp = [](const std::string& pid, const std::string& n) { return ".Tarrowin.reg.tmp-" + pid + "-" + n; };
    const std::vector<std::string> stay = {
        tmp(std::to_string(getpid()), "0"), // this process: a copy that is alive
        tmp("1", "3"),                      // alive, perhaps not ours to signal
        tmp(gone, "x"), tmp("0" + gone, "1"), tmp(gone, "1") + ".bak", ".Other.reg.tmp-" + gone + "-1",
        "Tarrowin.reg.tmp-" + gone + "-1",
    };
    for (const auto& name : stay)
        WriteWholeFile(dotfiles + "/" + name, "kept");
    WriteWholeFile(dotfiles + "/" + tmp(gone, "7"), "stale");
    WriteWholeFile(Folder() + "/" + tmp(gone, "7"), "beside the link, not the file saves replace");
    std::vector<std::string> kept = stay;
    kept.push_back("Tarrowin.reg");
    std::sort(kept.begin(), kept.end());

    ForgetCache();
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(FolderEntries(dotfiles), kept) << "the first look at the file";
    EXPECT_TRUE(fs::exists(Folder() + "/" + tmp(gone, "7")));

    WriteWholeFile(dotfiles + "/" + tmp(gone, "8"), "stale");
    r.WriteString("TXEN", "true");
    EXPECT_EQ(FolderEntries(dotfiles), kept) << "a save";
    EXPECT_EQ(r.ReadString("TXEN"), "true");
}

// A batch writes its values in one rewrite at its commit; until then the
// file is the old one and the program reads the new values. A commit the
// file refuses names the first value changed and leaves file and values as
// they were; so does a batch that ends without a commit.
TEST_F(RegistryTest, ABatchWritesItsValuesInOneRewrite)
{
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
        r.WriteInteger("PortNumIndex", 1);
        r.WriteString("MemoIn", "old");
    }
    const std::string before = ReadWholeFile(regPath_);
    {
        reg::TRegistryBatch batch;
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
        r.WriteInteger("PortNumIndex", 1); // unchanged: not the one to name
        r.WriteString("MemoIn", std::string(10000, 'x'));
        r.WriteString("EditSend", "AT");
        EXPECT_EQ(r.ReadString("EditSend"), "AT");
        EXPECT_EQ(ReadWholeFile(regPath_), before);
        FileSizeLimit limit(before.size() + 64);
        EXPECT_EQ(MessageOf([&] { batch.Commit(); }), "Konnte Daten f\xfcr 'MemoIn' nicht setzen");
        EXPECT_EQ(r.ReadString("MemoIn"), "old");
        EXPECT_FALSE(r.ValueExists("EditSend"));
    }
    EXPECT_EQ(ReadWholeFile(regPath_), before);
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"Tarrowin.reg"});
    {
        reg::TRegistryBatch batch;
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
        r.WriteString("MemoIn", "dropped");
    }
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.ReadString("MemoIn"), "old");
    {
        reg::TRegistryBatch batch;
        r.WriteString("MemoIn", "new");
        r.WriteInteger("PortNumIndex", 2);
        batch.Commit();
    }
    EXPECT_EQ(ReadWholeFile(regPath_), kOwnKeyFile + "\"PortNumIndex\"=dword:00000002\n\"MemoIn\"=\"new\"\n");
}

// Pane texts are long and hold any byte; the reader takes long runs of
// plain bytes at once, so escapes must come through at every position.
TEST_F(RegistryTest, LongTextsOfEveryByteRoundTrip)
{
    std::string text;
    uint32_t x = 12345;
    for (int i = 0; i < 300000; ++i) {
        x = x * 1103515245u + 12345u;
        const unsigned r = x >> 16;
        // Runs of plain text of every length between the bytes to escape.
        text.push_back(r % 5 == 0 ? "\"\\\r\n\x01\x7f\xff"[r / 5 % 7] : char('a' + r % 26));
    }
    text += "\\\\\"\\"; // ends in escapes right before the closing quote
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
        r.WriteString("MemoIn", text);
        r.WriteString("MemoOut", text.substr(1));
    }
    ForgetCache();
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_TRUE(r.ReadString("MemoIn") == text);
    EXPECT_TRUE(r.ReadString("MemoOut") == text.substr(1));
}

TEST_F(RegistryTest, KeyNamesThatCannotStandOnAKeyLineAreRefused)
{
    TRegistry r;
    for (const std::string& Bad : {std::string("Software\\\\Brenlow"), std::string("Soft\nware"),
                                   std::string("Soft\x7fware"), std::string("Soft\tware")})
        EXPECT_FALSE(r.OpenKey(Bad, true)) << Bad;
    EXPECT_FALSE(fs::exists(regPath_)) << "nothing was created";
    ASSERT_TRUE(r.OpenKey("\\Software\\Brenlow\\Tarrowin\\", true)) << "outer backslashes are ignored";
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
}

TEST_F(RegistryTest, WithoutCreateOrSetRightsNothingIsWritten)
{
    const uint32_t kKeyRead = 0x20019;
    TRegistry reader(kKeyRead);
    EXPECT_FALSE(reader.OpenKey(kSettingsKey, true)) << "may not create";
    {
        TRegistry writer;
        ASSERT_TRUE(writer.OpenKey(kSettingsKey, true));
        writer.WriteInteger("PortNumIndex", 2);
    }
    const std::string before = ReadWholeFile(regPath_);
    ASSERT_TRUE(reader.OpenKey(kSettingsKey, false));
    EXPECT_EQ(reader.ReadInteger("PortNumIndex"), 2);
    EXPECT_EQ(MessageOf([&] { reader.WriteInteger("PortNumIndex", 3); }),
              "Konnte Daten f\xfcr 'PortNumIndex' nicht setzen");
    EXPECT_EQ(MessageOf([&] { reader.WriteString("TXEN", "true"); }), "Konnte Daten f\xfcr 'TXEN' nicht setzen");
    EXPECT_EQ(ReadWholeFile(regPath_), before);
}

// Where the file lives without an override: under XDG_CONFIG_HOME when that
// is an absolute path, else under ~/.config, else the account's home.
TEST(RegistryPath, FollowsXdgConfigHomeThenHome)
{
    auto saved = [](const char* name) {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto xdg = saved("XDG_CONFIG_HOME"), home = saved("HOME");
    reg::SetFilePath("");
    struct Case {
        const char* xdg;
        const char* home;
        std::string expected;
    } cases[] = {
        {"/cfg", "/home/u", "/cfg/Brenlow/Tarrowin.reg"},
        {"relative", "/home/u", "/home/u/.config/Brenlow/Tarrowin.reg"},
        {nullptr, "/home/u", "/home/u/.config/Brenlow/Tarrowin.reg"},
        {nullptr, "", std::string(getpwuid(getuid())->pw_dir) + "/.config/Brenlow/Tarrowin.reg"},
    };
    for (const Case& c : cases) {
        c.xdg ? setenv("XDG_CONFIG_HOME", c.xdg, 1) : unsetenv("XDG_CONFIG_HOME");
        setenv("HOME", c.home, 1);
        EXPECT_EQ(reg::FilePath(), c.expected) << (c.xdg ? c.xdg : "(unset)") << " " << c.home;
    }
    xdg ? setenv("XDG_CONFIG_HOME", xdg->c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    home ? setenv("HOME", home->c_str(), 1) : unsetenv("HOME");
}

// Without a handler (no window yet) the notice goes to the terminal.
TEST_F(RegistryTest, ANoticeWithoutHandlerGoesToStandardError)
{
    reg::SetNoticeHandler(nullptr);
    WriteWholeFile(regPath_, "broken");
    testing::internal::CaptureStderr();
    TRegistry r;
    r.OpenKey(kSettingsKey, false);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Tarrowin: ", 0), 0u) << err;
    EXPECT_NE(err.find(".broken-"), std::string::npos) << err;
}

} // namespace

// The window lets go of the store's copy once the panes hold the saved
// texts: what is read later comes from the file, and a later save keeps
// every value it did not change.
TEST_F(RegistryTest, ReleasingTheCacheLosesNoValue)
{
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(kSettingsKey, true));
        r.WriteString("MemoIn", std::string(100000, 'm') + "\r\n\x01");
        r.WriteInteger("PortNumIndex", 4);
    }
    reg::ReleaseCache();
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kSettingsKey, false));
    EXPECT_EQ(r.ReadInteger("PortNumIndex"), 4);
    reg::ReleaseCache();
    r.WriteString("TXEN", "true");
    EXPECT_EQ(r.ReadString("MemoIn"), std::string(100000, 'm') + "\r\n\x01");
    EXPECT_NE(ReadWholeFile(regPath_).find("\"PortNumIndex\"=dword:00000004"), std::string::npos);
}
