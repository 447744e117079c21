#include "rtd/rtd_registration.h"

#include "test_support.h"

static const std::string CLASSES = "Software\\Classes\\";
static const std::string SERVER = CLASSES + "CLSID\\{51F696D5-6C46-424D-95EE-29A10B7AB50B}\\LocalServer32";

static std::string wide(const std::u16string &text)
{
    return standin::wide_string_bytes(text);
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

TEST_F(RtdRegistration, PathTooLongWritesNothing)
{
    standin::script().module_path = u"C:\\" + std::u16string(40000, u'x') + u".exe";
    EXPECT_FALSE(register_rtd_class());
    EXPECT_EQ(standin::records().registry_writes, 0);
}
