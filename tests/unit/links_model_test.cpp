// The Links window's model: which fields are rows, each row's state, the
// sort, and the copied text, read back by a parser of the format a sheet
// pastes (tab-separated, quoted cells, CR LF lines).
#include "core/links_model.h"
#include "core/text_encoding.h"
#include "test_support.h"

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const uint64_t NOW = system_time_of(2024, 2, 29, 13, 45, 30, 250);

enum Op { DDE_LINK, RTD_LINK, DDE_UNLINK, RTD_UNLINK };
struct Step {
    Op op;
    uint64_t insref;
    const char *field;
};

void run(const Step &step)
{
    std::string item = std::to_string(step.insref) + "." + step.field;
    Instrument *instrument = find_instrument(step.insref);
    InstrumentField *field = instrument ? find_field(instrument, step.field) : nullptr;
    switch (step.op) {
    case DDE_LINK:
        link_field(step.insref, step.field, item.c_str(), "DDE", nullptr);
        break;
    case RTD_LINK:
        link_rtd_topic(step.insref, step.field, item.c_str(), nullptr);
        break;
    case DDE_UNLINK:
        stop_advise(step.insref, step.field);
        break;
    case RTD_UNLINK:
        release_rtd_topic(field);
        break;
    }
}

std::string cell(const LinksModel &model, size_t row, int column, bool feed_open = true)
{
    char text[VALUE_TEXT_SIZE];
    link_cell_text(model, row, column, feed_open, NOW, text, sizeof text);
    return text;
}

// "item dde rtd" for every row, in order.
std::vector<std::string> row_links(const LinksModel &model)
{
    std::vector<std::string> rows;
    for (size_t row = 0; row < model.rows.size(); ++row)
        rows.push_back(cell(model, row, LINK_ITEM) + " " + cell(model, row, LINK_DDE) + " " +
                       cell(model, row, LINK_RTD));
    return rows;
}

LinksModel fresh_model()
{
    return LinksModel{{}, 0, false, -1, false};
}

template <typename T> std::string name_of(const testing::TestParamInfo<T> &info)
{
    return info.param.name;
}

}  // namespace

// Rows: one per field with a link on either face, in the order first linked.
struct RowsCase {
    const char *name;
    std::vector<Step> steps;
    std::vector<std::string> rows;
};

class LinksRows : public ProgramTest, public testing::WithParamInterface<RowsCase> {};

TEST_P(LinksRows, ListWatchedFieldsWithTheirLinksOnEachFace)
{
    for (const Step &step : GetParam().steps)
        run(step);
    LinksModel model = fresh_model();
    EXPECT_TRUE(refresh_links(&model, true, NOW));
    EXPECT_EQ(row_links(model), GetParam().rows);
}

static const RowsCase ROWS_CASES[] = {
    {"NoLinksNoRows", {}, {}},
    {"OneDdeLink", {{DDE_LINK, 1234, "lastprice"}}, {"1234.lastprice 1 0"}},
    {"BothFacesOnOneField",
     {{DDE_LINK, 1234, "lastprice"}, {RTD_LINK, 1234, "lastprice"}, {RTD_LINK, 1234, "lastprice"}},
     {"1234.lastprice 1 2"}},
    {"FirstLinkedFirst",
     {{RTD_LINK, 99, "bid"}, {DDE_LINK, 1234, "ask"}, {DDE_LINK, 99, "ask"}},
     {"99.bid 0 1", "99.ask 1 0", "1234.ask 1 0"}},
    {"FieldWithNoLinkLeftIsNoRow",
     {{DDE_LINK, 1, "a"}, {RTD_LINK, 2, "b"}, {DDE_UNLINK, 1, "a"}},
     {"2.b 0 1"}},
    {"RtdTopicClosedLeavesDdeLink",
     {{DDE_LINK, 1, "a"}, {RTD_LINK, 1, "a"}, {RTD_UNLINK, 1, "a"}},
     {"1.a 1 0"}},
    {"DdeStopOfAnRtdOnlyFieldKeepsCountsWithinLinks",
     {{RTD_LINK, 1, "a"}, {RTD_LINK, 1, "a"}, {DDE_UNLINK, 1, "a"}},
     {"1.a 0 1"}},
    {"RelinkedFieldReturns",
     {{DDE_LINK, 1, "a"}, {DDE_LINK, 2, "b"}, {DDE_UNLINK, 1, "a"}, {RTD_LINK, 1, "a"}},
     {"1.a 0 1", "2.b 1 0"}},
};
INSTANTIATE_TEST_SUITE_P(Rows, LinksRows, testing::ValuesIn(ROWS_CASES), name_of<RowsCase>);

class LinksRefresh : public ProgramTest {};

TEST_F(LinksRefresh, ListsAgainOnlyWhenTheWatchedSetChanged)
{
    run({DDE_LINK, 1, "a"});
    LinksModel model = fresh_model();
    ASSERT_TRUE(refresh_links(&model, true, NOW));
    run({RTD_LINK, 1, "a"});  // one more link on a watched field: the same rows
    EXPECT_FALSE(refresh_links(&model, true, NOW));
    EXPECT_EQ(row_links(model), std::vector<std::string>{"1.a 1 1"});
    run({DDE_LINK, 2, "b"});
    EXPECT_TRUE(refresh_links(&model, true, NOW));
    EXPECT_EQ(model.rows.size(), 2u);
}

// States: the first that holds of feed disconnected, waiting, quiet, live.
struct StateCase {
    const char *name;
    bool feed_open;
    uint64_t updated;  // 0: never
    LinkState state;
};

class LinksStates : public ProgramTest, public testing::WithParamInterface<StateCase> {};

TEST_P(LinksStates, FirstThatHolds)
{
    run({DDE_LINK, 1, "a"});
    InstrumentField &field = registry.instruments[0].fields[0];
    field.updated = GetParam().updated;
    EXPECT_EQ(link_state(field, GetParam().feed_open, NOW), GetParam().state);
}

TEST_F(LinksRefresh, EachStateShowsATextOfItsOwn)
{
    const uint64_t updated[] = {0, NOW - QUIET_TICKS, NOW};  // waiting, quiet, live
    for (int i = 0; i < 3; ++i) {
        run({DDE_LINK, 1, std::to_string(i).c_str()});
        registry.instruments[0].fields[i].updated = updated[i];
    }
    LinksModel model = fresh_model();
    refresh_links(&model, true, NOW);
    std::set<std::string> texts = {cell(model, 0, LINK_STATE), cell(model, 1, LINK_STATE),
                                   cell(model, 2, LINK_STATE), cell(model, 2, LINK_STATE, false)};
    texts.erase("");
    EXPECT_EQ(texts.size(), 4u);
}

static const StateCase STATE_CASES[] = {
    {"DisconnectedBeforeWaiting", false, 0, LINK_FEED_DISCONNECTED},
    {"DisconnectedBeforeLive", false, NOW - TICKS_PER_SECOND, LINK_FEED_DISCONNECTED},
    {"WaitingForFirstValue", true, 0, LINK_WAITING},
    {"LiveJustNow", true, NOW, LINK_LIVE},
    {"LiveJustUnder60s", true, NOW - QUIET_TICKS + 1, LINK_LIVE},
    {"QuietAt60s", true, NOW - QUIET_TICKS, LINK_QUIET},
    {"LiveWhenTheClockWasSetBack", true, NOW + 3600 * TICKS_PER_SECOND, LINK_LIVE},
};
INSTANTIATE_TEST_SUITE_P(States, LinksStates, testing::ValuesIn(STATE_CASES), name_of<StateCase>);

// Sort: five fields with values, times and updates set apart; ties keep the
// order first linked, up and down.
struct SortCase {
    const char *name;
    int column;
    bool descending;
    std::vector<std::string> items;
};

class LinksSort : public ProgramTest, public testing::WithParamInterface<SortCase> {};

TEST_P(LinksSort, ByColumnStableBothWays)
{
    struct Field {
        uint64_t insref;
        const char *name;
        const char *value;
        uint64_t age_s;  // 0: never updated
        uint32_t updates;
        int rtd;
    };
    const Field fields[] = {
        {20, "b", "10", 5, 3, 0},     {3, "z", "9.5", 5, 7, 1},  {20, "a", "abc", 90, 3, 0},
        {100, "a", nullptr, 0, 0, 1}, {3, "y", "-1e3", 1, 1, 0},
    };
    for (const Field &f : fields) {
        run({f.rtd ? RTD_LINK : DDE_LINK, f.insref, f.name});
        InstrumentField *field = find_field(find_instrument(f.insref), f.name);
        set_value(field, f.value);
        field->updated = f.age_s ? NOW - f.age_s * TICKS_PER_SECOND : 0;
        field->updates = f.updates;
    }
    LinksModel model = fresh_model();
    refresh_links(&model, true, NOW);
    sort_links(&model, GetParam().column, GetParam().descending, true, NOW);
    std::vector<std::string> items;
    for (size_t row = 0; row < model.rows.size(); ++row)
        items.push_back(cell(model, row, LINK_ITEM));
    EXPECT_EQ(items, GetParam().items);

    // A new field listed later joins the order the model is sorted in.
    run({DDE_LINK, 1, "new"});
    refresh_links(&model, true, NOW);
    EXPECT_EQ(model.rows.size(), 6u);
    EXPECT_EQ(model.sort_column, GetParam().column);
}

static const SortCase SORT_CASES[] = {
    {"RegistryOrderUnsorted", -1, false, {"20.b", "20.a", "3.z", "3.y", "100.a"}},
    {"ItemByInsrefThenName", LINK_ITEM, false, {"3.y", "3.z", "20.a", "20.b", "100.a"}},
    {"ValueNoneNumbersTexts", LINK_VALUE, false, {"100.a", "3.y", "3.z", "20.b", "20.a"}},
    {"UpdatesTiesKeepOrder", LINK_UPDATES, false, {"100.a", "3.y", "20.b", "20.a", "3.z"}},
    {"UpdatesDownTiesKeepOrder", LINK_UPDATES, true, {"3.z", "20.b", "20.a", "3.y", "100.a"}},
    {"TimeNeverFirst", LINK_TIME, false, {"100.a", "20.a", "20.b", "3.z", "3.y"}},
    {"RtdDownTiesKeepOrder", LINK_RTD, true, {"3.z", "100.a", "20.b", "20.a", "3.y"}},
    {"DdeTiesKeepOrder", LINK_DDE, false, {"3.z", "100.a", "20.b", "20.a", "3.y"}},
    {"StateWaitingQuietLive", LINK_STATE, false, {"100.a", "20.a", "20.b", "3.z", "3.y"}},
};
INSTANTIATE_TEST_SUITE_P(Sort, LinksSort, testing::ValuesIn(SORT_CASES), name_of<SortCase>);

// The copied text, parsed as a sheet parses pasted text: cells split at
// tabs, rows at CR LF, a cell that starts with a quote read up to the
// closing one with doubled quotes as one.
static std::vector<std::vector<std::string>> parse_pasted(const std::string &text)
{
    std::vector<std::vector<std::string>> table;
    std::vector<std::string> row;
    std::string cell;
    size_t i = 0;
    bool cell_started = false;
    while (i < text.size()) {
        if (!cell_started && text[i] == '"') {
            ++i;
            for (;; ++i) {
                if (i >= text.size())
                    throw std::runtime_error("unclosed quote");
                if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"')
                    cell += text[i++];
                else if (text[i] == '"')
                    break;
                else
                    cell += text[i];
            }
            ++i;
            cell_started = true;
            if (i < text.size() && text[i] != '\t' && text[i] != '\r')
                throw std::runtime_error("text after a closing quote");
            continue;
        }
        if (text[i] == '\t') {
            row.push_back(cell);
            cell.clear();
            cell_started = false;
            ++i;
        } else if (text.compare(i, 2, "\r\n") == 0) {
            row.push_back(cell);
            table.push_back(row);
            row.clear();
            cell.clear();
            cell_started = false;
            i += 2;
        } else {
            cell += text[i++];
            cell_started = true;
        }
    }
    if (cell_started || !row.empty())
        throw std::runtime_error("last line without CR LF");
    return table;
}

struct CopyCase {
    const char *name;
    const char *value;     // as the feed sent it; null: none
    const char *expected;  // the value's cell as pasted (UTF-8)
};

class LinksCopy : public ProgramTest, public testing::WithParamInterface<CopyCase> {};

TEST_P(LinksCopy, PastesBackAsTheRows)
{
    run({DDE_LINK, 1234, "lastprice"});
    run({RTD_LINK, 1234, "lastprice"});
    run({RTD_LINK, 7, "name\tx"});
    set_value(find_field(find_instrument(1234), "lastprice"), GetParam().value);
    InstrumentField *named = find_field(find_instrument(7), "name\tx");
    set_value(named, GetParam().value);
    named->updated = NOW - 2 * TICKS_PER_SECOND;
    named->updates = 4000000000u;
    LinksModel model = fresh_model();
    refresh_links(&model, true, NOW);

    std::vector<std::vector<std::string>> table = parse_pasted(copy_links_text(model, {1, 0, 1}, true, NOW));
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0], std::vector<std::string>(LINK_COLUMN_TITLES, LINK_COLUMN_TITLES + LINK_COLUMN_COUNT));
    const size_t rows[] = {1, 0, 1};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(table[i + 1].size(), static_cast<size_t>(LINK_COLUMN_COUNT));
        for (int column = 0; column < LINK_COLUMN_COUNT; ++column) {
            if (column == LINK_VALUE)
                EXPECT_EQ(table[i + 1][column], GetParam().expected);
            else
                EXPECT_EQ(table[i + 1][column], cell(model, rows[i], column)) << "column " << column;
        }
    }
    EXPECT_EQ(table[1][LINK_ITEM], "7.name\tx");
    EXPECT_EQ(table[1][LINK_UPDATES], "4000000000");
    EXPECT_EQ(table[1][LINK_TIME], "2024-02-29 13:45:28.250");
    EXPECT_EQ(table[2][LINK_TIME], "");
}

static const CopyCase COPY_CASES[] = {
    {"Number", "101.25", "101.25"},
    {"NoValue", nullptr, ""},
    {"TabInValue", "a\tb", "a\tb"},
    {"LineBreaksInValue", "one\r\ntwo\nthree", "one\r\ntwo\nthree"},
    {"LeadingQuote", "\"quoted\" text", "\"quoted\" text"},
    {"QuoteInsideStaysAsItIs", "6'2\"", "6'2\""},
    {"Unicode", "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x93\x88", "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x93\x88"},
    {"AnsiBytesBecomeUtf8", "caf\xE9", "caf\xC3\xA9"},
};
INSTANTIATE_TEST_SUITE_P(Copy, LinksCopy, testing::ValuesIn(COPY_CASES), name_of<CopyCase>);

TEST_F(LinksCopy, CellCutBetweenCharacters)
{
    run({DDE_LINK, 1, "a"});
    set_value(find_field(find_instrument(1), "a"), "\xE2\x82\xAC\xE2\x82\xAC");
    LinksModel model = fresh_model();
    refresh_links(&model, true, NOW);
    char text[6];
    EXPECT_EQ(link_cell_text(model, 0, LINK_VALUE, true, NOW, text, sizeof text), 6u);
    EXPECT_STREQ(text, "\xE2\x82\xAC");
    char item[3];
    EXPECT_EQ(link_cell_text(model, 0, LINK_ITEM, true, NOW, item, sizeof item), 3u);
    EXPECT_STREQ(item, "1.");
}
