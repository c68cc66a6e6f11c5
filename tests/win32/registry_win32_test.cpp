// The registry routines on the registry of the current user (under Wine, the
// prefix's own registry): what is missing, what is written, values of the
// wrong type and refused writes, with the registry's messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "params/ireg.h"
#include "params/registry.h"
#include "tests/win32/registry_raw.h"

namespace qx17 {
namespace {

using test::GetRawValue;
using test::kRawSettingsKey;
using test::SetRawValue;
using test::ValueCount;

std::string Error(const std::function<void()>& act) {
    try {
        act();
    } catch (const ERegistryException& e) {
        return e.what();
    }
    return "";
}

// Each test starts and ends without the settings key.
class Win32Registry : public testing::Test {
  protected:
    Win32Registry() { test::DeleteSettingsKey(); }
    ~Win32Registry() override { test::DeleteSettingsKey(); }
};

TEST_F(Win32Registry, MissingValuesReadAsNothingAndReadingCreatesOnlyTheKey) {
    ASSERT_FALSE(test::KeyExists(kRawSettingsKey));
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "APN"), "");
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "COM"), 0);
    EXPECT_TRUE(test::KeyExists(kRawSettingsKey));
    EXPECT_EQ(ValueCount(kRawSettingsKey), 0);
}

TEST_F(Win32Registry, WrittenValuesKeepTheirTypesAndNamesIgnoreCase) {
    EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "APN", "CMNET"));
    EXPECT_TRUE(RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, "COM", 5));
    EXPECT_TRUE(RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, "GPRS_TYPE", -1));
    EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "DNS", ""));

    EXPECT_EQ(GetRawValue(kRawSettingsKey, "APN"), (RegistryValue{REG_SZ, {"CMNET\0", 6}}));
    EXPECT_EQ(GetRawValue(kRawSettingsKey, "COM"), (RegistryValue{REG_DWORD, {"\5\0\0\0", 4}}));
    EXPECT_EQ(GetRawValue(kRawSettingsKey, "GPRS_TYPE"),
              (RegistryValue{REG_DWORD, "\xFF\xFF\xFF\xFF"}));
    EXPECT_EQ(GetRawValue(kRawSettingsKey, "DNS"), (RegistryValue{REG_SZ, {"\0", 1}}));

    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "apn"), "CMNET");
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "Com"), 5);
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "gprs_type"), -1);
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "DNS"), "");

    // Another spelling of a name replaces the value instead of adding one.
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "apn", "internet");
    EXPECT_EQ(ValueCount(kRawSettingsKey), 4);
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "APN"), "internet");
}

TEST_F(Win32Registry, TextsKeepTheirAnsiBytes) {
    if (test::AnsiCodePage() != 1252) {
        GTEST_SKIP() << "the ANSI code page is " << test::AnsiCodePage() << ", not 1252";
    }
    const std::string text = "Caf\xE9 \x80 \xFF";
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, "APN_NAME", text);
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "APN_NAME"), text);
}

TEST_F(Win32Registry, AbsoluteAndRelativePathsNameTheSameKey) {
    RegistryStore& store = NativeRegistryStore();
    const std::unique_ptr<RegistryKey> relative =
        store.OpenKey(HKEY_CURRENT_USER, "Software\\Kestrowind\\QX17EEP");
    ASSERT_TRUE(relative);
    EXPECT_TRUE(relative->Write("ID", {REG_SZ, {"123\0", 4}}));
    const std::unique_ptr<RegistryKey> absolute =
        store.OpenKey(HKEY_CURRENT_USER, "\\SOFTWARE\\kestrowind\\qx17eep");
    ASSERT_TRUE(absolute);
    EXPECT_EQ(absolute->Read("id"), (RegistryValue{REG_SZ, {"123\0", 4}}));
    EXPECT_EQ(absolute->Read("IP"), std::nullopt);
}

TEST_F(Win32Registry, ValuesOfTheWrongTypeGiveTheRegistrysErrors) {
    ASSERT_TRUE(SetRawValue(kRawSettingsKey, "COM", REG_SZ, {"abc\0", 4}));
    ASSERT_TRUE(SetRawValue(kRawSettingsKey, "Long", REG_SZ, {"three\0", 6}));
    ASSERT_TRUE(SetRawValue(kRawSettingsKey, "Bin2", REG_BINARY, "\1\2"));
    ASSERT_TRUE(SetRawValue(kRawSettingsKey, "Bin8", REG_BINARY, "\1\2\3\4\5\6\7\x08"));
    ASSERT_TRUE(SetRawValue(kRawSettingsKey, "Num", REG_DWORD, {"\7\0\0\0", 4}));
    ASSERT_TRUE(SetRawValue(kRawSettingsKey, "Exp", REG_EXPAND_SZ, {"%TEMP%\\x\0", 9}));

    const auto read_int = [](const char* name) {
        return [name] { RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, name); };
    };
    const auto read_str = [](const char* name) {
        return [name] { RegReadString(HKEY_CURRENT_USER, kSettingsKey, name); };
    };
    // Up to 4 bytes of another type: the wrong type; more: the data do not fit.
    EXPECT_EQ(Error(read_int("COM")), "Invalid data type for 'COM'");
    EXPECT_EQ(Error(read_int("Long")), "Failed to get data for 'Long'");
    EXPECT_EQ(Error(read_int("Bin2")), "Invalid data type for 'Bin2'");
    EXPECT_EQ(Error(read_int("Bin8")), "Failed to get data for 'Bin8'");
    EXPECT_EQ(Error(read_str("Num")), "Invalid data type for 'Num'");
    EXPECT_EQ(Error(read_str("Bin2")), "Invalid data type for 'Bin2'");
    // An expandable text reads as it stands, not expanded.
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kSettingsKey, "Exp"), "%TEMP%\\x");
    EXPECT_EQ(RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, "Num"), 7);
}

TEST_F(Win32Registry, RefusedWritesNameTheValue) {
    // Below a volatile key only volatile keys can be made, and the store
    // makes lasting ones: the key cannot be created.
    ASSERT_TRUE(test::CreateVolatileKey(kRawSettingsKey));
    const std::string child = std::string(kSettingsKey) + "\\Child";
    EXPECT_EQ(Error([&] { RegWriteString(HKEY_CURRENT_USER, child, "APN", "x"); }),
              "Failed to set data for 'APN'");
    EXPECT_EQ(Error([&] { RegWriteInteger(HKEY_CURRENT_USER, child, "COM", 1); }),
              "Failed to set data for 'COM'");
    EXPECT_FALSE(test::KeyExists(std::string(kRawSettingsKey) + "\\Child"));
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, child, "APN"), "") << "nothing to read there";

    // The key opens, the value is refused: its name is longer than the
    // registry allows.
    test::DeleteSettingsKey();
    const std::string long_name(16384, 'n');
    EXPECT_EQ(Error([&] { RegWriteString(HKEY_CURRENT_USER, kSettingsKey, long_name, "x"); }),
              "Failed to set data for '" + long_name + "'");
    EXPECT_EQ(ValueCount(kRawSettingsKey), 0);
}

}  // namespace
}  // namespace qx17
