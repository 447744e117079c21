#include "rtd/rtd_registration.h"

#include "test_support.h"

#include <set>
#include <tuple>

using standin::Hive;

static const std::string CLASSES = "Software\\Classes\\";
static const std::string SERVER = CLASSES + "CLSID\\{51F696D5-6C46-424D-95EE-29A10B7AB50B}\\LocalServer32";
// Office's RTD library, as a 32-bit or 64-bit Excel registers it.
static const std::string OFFICE_LIBID = "{2DF8D04C-5BFA-101B-BDE5-00AA0044DE52}";
static const std::string TYPE_LIBRARY_MARSHALER = "{00020424-0000-0000-C000-000000000046}";
static const char *const IIDS[] = {RTD_SERVER_IID, RTD_UPDATE_EVENT_IID};

static std::string wide(const std::u16string &text)
{
    return standin::wide_string_bytes(text);
}

static std::string wide(const std::string &ascii)
{
    return wide(std::u16string(ascii.begin(), ascii.end()));
}

// Every key COM and Excel read, with the text it must hold.
static void expect_keys_naming(const std::u16string &path)
{
    const std::u16string clsid = u"{51F696D5-6C46-424D-95EE-29A10B7AB50B}";
    struct Key {
        std::string path;
        std::u16string value;
    } keys[] = {
        {CLASSES + "Quellvarden.Quote\\CLSID", clsid},
        {CLASSES + "CLSID\\{51F696D5-6C46-424D-95EE-29A10B7AB50B}\\ProgID", u"Quellvarden.Quote"},
        {SERVER, u"\"" + path + u"\""},
    };
    for (const Key &key : keys) {
        SCOPED_TRACE(key.path);
        auto value = standin::registry_value(key.path, "");
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(value->bytes, wide(key.value));
    }
}

class RtdRegistration : public ProgramTest {};

TEST_F(RtdRegistration, MissingKeysAreWritten)
{
    EXPECT_TRUE(register_rtd_class());
    expect_keys_naming(standin::script().module_path);
}

// The path of the executable may hold any character: it goes as it is.
TEST_F(RtdRegistration, PathIsKeptInFull)
{
    standin::script().module_path = u"C:\\Users\\J\u00FCrgen \u6771\u4EAC\\\U0001F4C8\\vantrel.exe";
    EXPECT_TRUE(register_rtd_class());
    expect_keys_naming(standin::script().module_path);
}

TEST_F(RtdRegistration, RightKeysAreLeftAlone)
{
    ASSERT_TRUE(register_rtd_class());
    int writes = standin::records().registry_writes;
    EXPECT_TRUE(register_rtd_class());
    EXPECT_EQ(standin::records().registry_writes, writes);
}

// The zip moved elsewhere, or an older copy registered first.
TEST_F(RtdRegistration, AnotherPathIsRewritten)
{
    standin::set_registry_value(SERVER, "", REG_SZ, wide(u"\"D:\\old\\vantrel.exe\""));
    standin::set_registry_value(CLASSES + "Quellvarden.Quote\\CLSID", "", REG_SZ,
                                wide(u"{51F696D5-6C46-424D-95EE-29A10B7AB50B}"));
    EXPECT_TRUE(register_rtd_class());
    expect_keys_naming(standin::script().module_path);
}

// Installed for every user: the user's keys would hide the machine's.
TEST_F(RtdRegistration, MachineKeysOfThisCopyGetNoUserKeys)
{
    standin::set_registry_value(SERVER, "", REG_SZ, wide(u"\"" + standin::script().module_path + u"\""),
                                Hive::machine);
    EXPECT_TRUE(register_rtd_class());
    EXPECT_EQ(standin::records().registry_writes, 0);
}

TEST_F(RtdRegistration, PathTooLongWritesNothing)
{
    standin::script().module_path = u"C:\\" + std::u16string(40000, u'x') + u".exe";
    EXPECT_FALSE(register_rtd_class());
    EXPECT_EQ(standin::records().registry_writes, 0);
}

// The libraries that load, by LIBID and version, as LoadRegTypeLib would
// find them; each describes both interfaces.
static std::set<std::tuple<std::string, unsigned, unsigned>> loadable;

static bool fake_loads(const char *library, unsigned major, unsigned minor, const char *)
{
    return loadable.count({library, major, minor}) != 0;
}

// One interface's keys as a library's registration writes them.
struct InterfaceKeys {
    std::string library;  // empty: no TypeLib key
    const char *version;  // null: no Version value
    bool proxy_stub;
};

static void write_interface(const char *iid, const InterfaceKeys &keys, Hive hive)
{
    std::string key = CLASSES + "Interface\\" + iid;
    standin::set_registry_value(key, "", REG_SZ, wide(std::string("IRtdServer")), hive);
    if (keys.proxy_stub)
        standin::set_registry_value(key + "\\ProxyStubClsid32", "", REG_SZ, wide(TYPE_LIBRARY_MARSHALER),
                                    hive);
    if (!keys.library.empty()) {
        standin::set_registry_value(key + "\\TypeLib", "", REG_SZ, wide(keys.library), hive);
        if (keys.version)
            standin::set_registry_value(key + "\\TypeLib", "Version", REG_SZ, wide(std::string(keys.version)),
                                        hive);
    }
}

// What the machine holds before the program starts, and whether the
// program's own keys must then be written (for the user, 64-bit view).
struct UsabilityCase {
    const char *name;
    InterfaceKeys keys;
    Hive hive;
    bool loads;
    bool usable;
};

static const UsabilityCase USABILITY_CASES[] = {
    {"ExcelOfTheSameBitness", {OFFICE_LIBID, "1.9", true}, Hive::machine, true, true},
    {"OursFromAnEarlierStart", {RTD_LIBID, "1.0", true}, Hive::user, true, true},
    {"HexadecimalVersion", {OFFICE_LIBID, "a.1F", true}, Hive::machine, true, true},
    {"MissingVersion", {OFFICE_LIBID, nullptr, true}, Hive::machine, true, false},
    {"VersionWithoutMinor", {OFFICE_LIBID, "1", true}, Hive::machine, true, false},
    {"VersionNotHexadecimal", {OFFICE_LIBID, "1.x", true}, Hive::machine, true, false},
    {"MissingProxyStub", {OFFICE_LIBID, "1.9", false}, Hive::machine, true, false},
    {"MissingTypeLib", {"", nullptr, true}, Hive::machine, true, false},
    {"TypeLibNotAGuid", {"Office", "1.9", true}, Hive::machine, true, false},
    {"LibraryDoesNotLoad", {OFFICE_LIBID, "1.9", true}, Hive::machine, false, false},
    // A 32-bit Office on 64-bit Windows: nothing in the program's view.
    {"OnlyA32BitExcel", {OFFICE_LIBID, "1.9", true}, Hive::machine32, true, false},
};

class InterfaceUsability : public ProgramTest, public testing::WithParamInterface<UsabilityCase> {};

TEST_P(InterfaceUsability, WritesOursOnlyWhereNoneIsUsable)
{
    const UsabilityCase &c = GetParam();
    loadable.clear();
    if (c.loads && !c.keys.library.empty() && c.keys.version) {
        unsigned major = 0, minor = 0;
        std::sscanf(c.keys.version, "%x.%x", &major, &minor);
        loadable.insert({c.keys.library, major, minor});
    }
    for (const char *iid : IIDS)
        write_interface(iid, c.keys, c.hive);
    EXPECT_EQ(interface_usable(RTD_SERVER_IID, fake_loads), c.usable);
    int writes = standin::records().registry_writes;
    const std::u16string module = u"C:\\Programs\\vantrel.exe";
    ASSERT_TRUE(register_rtd_interfaces(HKEY_CURRENT_USER, reinterpret_cast<const WCHAR *>(module.c_str()),
                                        fake_loads));
    if (c.usable) {
        EXPECT_EQ(standin::records().registry_writes, writes);
        return;
    }
    // Read back: ours now stands in the 64-bit view and describes both.
    loadable.insert({RTD_LIBID, 1, 0});
    for (const char *iid : IIDS)
        EXPECT_TRUE(interface_usable(iid, fake_loads)) << iid;
    auto win64 = standin::registry_value(CLASSES + "TypeLib\\" + RTD_LIBID + "\\1.0\\0\\win64", "");
    ASSERT_TRUE(win64);
    EXPECT_EQ(win64->bytes, wide(module));
    // The 32-bit view is never written.
    for (const char *iid : IIDS) {
        std::string key = CLASSES + "Interface\\" + iid + "\\TypeLib";
        auto library = standin::registry_value(key, "", Hive::user32);
        EXPECT_FALSE(library);
        if (c.hive == Hive::machine32) {
            EXPECT_EQ(standin::registry_value(key, "", Hive::machine32)->bytes, wide(OFFICE_LIBID));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Registry, InterfaceUsability, testing::ValuesIn(USABILITY_CASES),
                         [](const testing::TestParamInfo<UsabilityCase> &info) { return info.param.name; });

// The user's broken keys hide the machine's good ones: Windows merges the
// user's classes over the machine's.
TEST_F(RtdRegistration, UserKeysHideTheMachines)
{
    loadable = {{OFFICE_LIBID, 1, 9}};
    write_interface(RTD_SERVER_IID, {OFFICE_LIBID, "1.9", true}, Hive::machine);
    write_interface(RTD_SERVER_IID, {OFFICE_LIBID, nullptr, true}, Hive::user);
    EXPECT_FALSE(interface_usable(RTD_SERVER_IID, fake_loads));
}

// What an older version left: the library registered in both views of both
// hives (Windows wrote the user's, Wine the machine's).
struct RemovalCase {
    const char *name;
    Hive hive;
    REGSAM view;
};

static const RemovalCase REMOVAL_CASES[] = {
    {"UserThirtyTwoBit", Hive::user32, KEY_WOW64_32KEY},
    {"MachineThirtyTwoBit", Hive::machine32, KEY_WOW64_32KEY},
    {"UserSixtyFourBit", Hive::user, KEY_WOW64_64KEY},
};

class RtdRemoval : public ProgramTest, public testing::WithParamInterface<RemovalCase> {};

TEST_P(RtdRemoval, OnlyKeysNamingOurLibraryGoAndOnlyInTheirView)
{
    const RemovalCase &c = GetParam();
    HKEY root = c.hive == Hive::machine32 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    Hive other_view =
        c.view == KEY_WOW64_32KEY ? (root == HKEY_CURRENT_USER ? Hive::user : Hive::machine) : Hive::user32;
    // Ours on one interface, a 32-bit Office's on the other.
    write_interface(RTD_SERVER_IID, {RTD_LIBID, "1.0", true}, c.hive);
    write_interface(RTD_UPDATE_EVENT_IID, {OFFICE_LIBID, "1.9", true}, c.hive);
    const std::string library = CLASSES + "TypeLib\\" + RTD_LIBID + "\\1.0\\0\\win64";
    standin::set_registry_value(library, "", REG_SZ, wide(std::string("C:\\old\\vantrel.exe")), c.hive);
    write_interface(RTD_SERVER_IID, {RTD_LIBID, "1.0", true}, other_view);

    remove_rtd_interfaces(root, c.view);
    EXPECT_FALSE(standin::registry_key_exists(CLASSES + "Interface\\" + RTD_SERVER_IID, c.hive));
    EXPECT_FALSE(
        standin::registry_key_exists(CLASSES + "Interface\\" + RTD_SERVER_IID + "\\TypeLib", c.hive));
    // Both views share the library's key: it goes with the 64-bit keys only.
    EXPECT_EQ(standin::registry_key_exists(library, c.hive), c.view == KEY_WOW64_32KEY);
    EXPECT_TRUE(
        standin::registry_value(CLASSES + "Interface\\" + RTD_UPDATE_EVENT_IID + "\\TypeLib", "", c.hive));
    EXPECT_TRUE(
        standin::registry_value(CLASSES + "Interface\\" + RTD_SERVER_IID + "\\TypeLib", "", other_view));
}

INSTANTIATE_TEST_SUITE_P(Registry, RtdRemoval, testing::ValuesIn(REMOVAL_CASES),
                         [](const testing::TestParamInfo<RemovalCase> &info) { return info.param.name; });
