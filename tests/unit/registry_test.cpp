#include "failmalloc.h"
#include "test_support.h"

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

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
    // A value that fits the bytes of the one before needs no allocation.
    failmalloc::fail_nth(1);
    EXPECT_TRUE(set_value(field, "13"));
    EXPECT_FALSE(failmalloc::failed());
    failmalloc::off();
    EXPECT_STREQ(field->value, "13");
    set_value(field, "12345.678");
    EXPECT_STREQ(field->value, "12345.678");
    set_value(field, nullptr);
    EXPECT_EQ(field->value, nullptr);
    set_value(field, "1");
    EXPECT_STREQ(field->value, "1");
}

TEST_F(Registry, FullFieldArrayRefusesBeforeCounting)
{
    for (int i = 0; i < 65535; ++i)
        ASSERT_EQ(start_advise(7, ("f" + std::to_string(i)).c_str()), ADVISE_NEW_FIELD) << i;
    Instrument &instrument = registry.instruments[0];
    std::string shown = status_line(1);

    EXPECT_EQ(start_advise(7, "one_more"), ADVISE_FAILED);
    EXPECT_EQ(instrument.field_count, 65535u);
    EXPECT_EQ(registry.active_field_count, 65535u);
    EXPECT_EQ(status_line(1), shown);
    EXPECT_EQ(find_field(&instrument, "one_more"), nullptr);
    EXPECT_EQ(start_advise(7, "f65534"), ADVISE_EXISTING_FIELD);
}

// Items written into the registry through start_advise and read back: every
// one is found where it was put, in insertion order, and nothing else is.
struct IndexCase {
    const char *name;
    size_t items;
    uint64_t insrefs;  // items spread over at most this many instruments
    size_t name_length;
};

class IndexRoundTrip : public Registry, public testing::WithParamInterface<IndexCase> {};

TEST_P(IndexRoundTrip, EveryItemFoundInInsertionOrder)
{
    const IndexCase &c = GetParam();
    std::mt19937_64 random(20251208);
    std::vector<std::pair<uint64_t, std::string>> items;
    std::set<std::pair<uint64_t, std::string>> seen;
    while (items.size() < c.items) {
        uint64_t insref = 1 + random() % c.insrefs;
        std::string name;
        for (size_t i = 0, n = 1 + random() % c.name_length; i < n; ++i)
            name += static_cast<char>('!' + random() % 94);
        if (seen.insert({insref, name}).second)
            items.push_back({insref, name});
    }
    for (const auto &item : items)
        ASSERT_EQ(start_advise(item.first, item.second.c_str()), ADVISE_NEW_FIELD);

    std::map<uint64_t, std::vector<std::string>> by_instrument;
    std::vector<uint64_t> instrument_order;
    for (const auto &item : items) {
        Instrument *instrument = find_instrument(item.first);
        ASSERT_NE(instrument, nullptr);
        InstrumentField *field = find_field(instrument, item.second.c_str());
        ASSERT_NE(field, nullptr) << item.first << "." << item.second;
        EXPECT_EQ(instrument->insref, item.first);
        EXPECT_EQ(field->name, item.second);
        if (by_instrument[item.first].empty())
            instrument_order.push_back(item.first);
        by_instrument[item.first].push_back(item.second);
        // A name one character longer is not there, unless it was written too.
        if (!seen.count({item.first, item.second + "x"})) {
            EXPECT_EQ(find_field(instrument, (item.second + "x").c_str()), nullptr);
        }
    }
    EXPECT_EQ(find_instrument(c.insrefs + 1), nullptr);
    EXPECT_EQ(find_instrument(0), nullptr);
    ASSERT_EQ(registry.instrument_count, instrument_order.size());
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        const Instrument &instrument = registry.instruments[i];
        ASSERT_EQ(instrument.insref, instrument_order[i]);
        const std::vector<std::string> &names = by_instrument[instrument.insref];
        ASSERT_EQ(instrument.field_count, names.size());
        for (uint16_t f = 0; f < instrument.field_count; ++f)
            ASSERT_EQ(instrument.fields[f].name, names[f]);
    }
    EXPECT_EQ(registry.active_field_count, c.items);
}

INSTANTIATE_TEST_SUITE_P(Items, IndexRoundTrip,
                         testing::Values(IndexCase{"HundredThousandRandomItems", 100000, UINT64_MAX - 1, 12},
                                         IndexCase{"TenFieldsAnInstrument", 20000, 2000, 3},
                                         IndexCase{"ShortNamesOfFewInstruments", 5000, 3, 2}),
                         [](const testing::TestParamInfo<IndexCase> &info) { return info.param.name; });

TEST_F(Registry, AdviseCountDoesNotWrap)
{
    start_advise(1234, "lastprice");
    find_field(find_instrument(1234), "lastprice")->advise_count = 65535;
    EXPECT_EQ(start_advise(1234, "lastprice"), ADVISE_FAILED);
    EXPECT_EQ(find_field(find_instrument(1234), "lastprice")->advise_count, 65535u);
}
