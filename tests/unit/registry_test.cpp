#include "test_support.h"

#include <cstdio>
#include <cstdlib>

class Registry : public ProgramTest {};

TEST_F(Registry, TwoStartsShareOneFieldAndTwoStopsKeepIt)
{
    EXPECT_EQ(start_advise(1234, "lastprice"), ADVISE_NEW_FIELD);
    EXPECT_EQ(start_advise(1234, "lastprice"), ADVISE_EXISTING_FIELD);
    ASSERT_EQ(registry.instrument_count, 1u);
    ASSERT_EQ(registry.instruments[0].field_count, 1u);
    EXPECT_EQ(registry.instruments[0].fields[0].advise_count, 2u);
    EXPECT_EQ(registry.active_field_count, 1u);

    stop_advise(1234, "lastprice");
    stop_advise(1234, "lastprice");
    EXPECT_EQ(registry.active_field_count, 0u);
    EXPECT_EQ(status_line(1), "Number of fields: 0");
    EXPECT_EQ(status_line(4), "ADVSTOP:1234");
    ASSERT_NE(find_field(find_instrument(1234), "lastprice"), nullptr);

    EXPECT_EQ(start_advise(1234, "lastprice"), ADVISE_EXISTING_FIELD);
    EXPECT_EQ(status_line(1), "Number of fields: 1");
    EXPECT_EQ(registry.instruments[0].field_count, 1u);
}

TEST_F(Registry, FieldNamesAreCaseSensitiveAndKeepInsertionOrder)
{
    start_advise(1234, "Price");
    start_advise(1234, "price");
    start_advise(99, "bid");
    ASSERT_EQ(registry.instrument_count, 2u);
    EXPECT_EQ(registry.instruments[0].insref, 1234u);
    EXPECT_EQ(registry.instruments[1].insref, 99u);
    ASSERT_EQ(registry.instruments[0].field_count, 2u);
    EXPECT_STREQ(registry.instruments[0].fields[0].name, "Price");
    EXPECT_STREQ(registry.instruments[0].fields[1].name, "price");
    EXPECT_EQ(registry.active_field_count, 3u);
    EXPECT_EQ(find_field(find_instrument(1234), "PRICE"), nullptr);
    EXPECT_EQ(find_field(find_instrument(1234), nullptr), nullptr);
}

TEST_F(Registry, StopOfUnknownOrIdleFieldChangesNoCount)
{
    stop_advise(1234, "lastprice");
    EXPECT_EQ(status_line(4), "");

    start_advise(1234, "lastprice");
    stop_advise(1234, "lastprice");
    stop_advise(1234, "lastprice");  // already at 0 loops
    EXPECT_EQ(registry.instruments[0].fields[0].advise_count, 0u);
    EXPECT_EQ(registry.active_field_count, 0u);
    EXPECT_EQ(status_line(4), "ADVSTOP:1234");
    stop_advise(1234, "other");
    EXPECT_EQ(registry.active_field_count, 0u);
}

TEST_F(Registry, SetValueReplacesAndClears)
{
    start_advise(1234, "lastprice");
    InstrumentField *field = find_field(find_instrument(1234), "lastprice");
    set_value(field, "12.5");
    EXPECT_STREQ(field->value, "12.5");
    set_value(field, "13");
    EXPECT_STREQ(field->value, "13");
    set_value(field, nullptr);
    EXPECT_EQ(field->value, nullptr);
}

TEST_F(Registry, FullFieldArrayRefusesBeforeCounting)
{
    start_advise(7, "f0");
    // Filled directly: 65535 advise starts would each scan the whole array.
    Instrument &instrument = registry.instruments[0];
    instrument.fields =
        static_cast<InstrumentField *>(std::realloc(instrument.fields, 65535 * sizeof(InstrumentField)));
    for (int i = 1; i < 65535; ++i) {
        char *name = static_cast<char *>(std::malloc(8));
        std::snprintf(name, 8, "f%d", i);
        instrument.fields[i] = InstrumentField{name, nullptr, 1, 0, 0};
    }
    instrument.field_count = 65535;
    std::string shown = status_line(1);

    EXPECT_EQ(start_advise(7, "one_more"), ADVISE_FAILED);
    EXPECT_EQ(instrument.field_count, 65535u);
    EXPECT_EQ(registry.active_field_count, 1u);
    EXPECT_EQ(status_line(1), shown);
    EXPECT_EQ(start_advise(7, "f65534"), ADVISE_EXISTING_FIELD);
}

TEST_F(Registry, AdviseCountDoesNotWrap)
{
    start_advise(1234, "lastprice");
    find_field(find_instrument(1234), "lastprice")->advise_count = 65535;
    EXPECT_EQ(start_advise(1234, "lastprice"), ADVISE_FAILED);
    EXPECT_EQ(find_field(find_instrument(1234), "lastprice")->advise_count, 65535u);
}
