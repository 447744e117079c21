// The clock: which system call it reads, and the local time of an instant
// by the rules of that instant.
#include "core/clock.h"
#include "core/excel_time.h"
#include "test_support.h"

class Clock : public ProgramTest {
protected:
    static std::string local_text(uint64_t time)
    {
        SYSTEMTIME local;
        if (!local_time_of(time, &local))
            return "(none)";
        char text[TIME_TEXT_SIZE];
        format_time_text(local, text, sizeof text);
        return text;
    }
};

TEST_F(Clock, ReadsThePreciseCallWhereItExists)
{
    standin::script().system_time = 133537248001234567ULL;
    EXPECT_EQ(read_system_time(), 133537248001234567ULL);
    read_system_time();
    EXPECT_EQ(standin::records().precise_clock_reads, 2);
    EXPECT_EQ(standin::records().coarse_clock_reads, 0);

    fresh_process();
    standin::script().precise_clock = false;  // before Windows 8
    standin::script().system_time = 133537248001234567ULL;
    EXPECT_EQ(read_system_time(), 133537248001234567ULL);
    EXPECT_EQ(standin::records().coarse_clock_reads, 1);
}

// Central European time: an hour ahead of UTC, two hours in summer from
// 2024-03-31 01:00 UTC. A time kept from before the change keeps its own
// offset when it is shown after it.
TEST_F(Clock, EachInstantTakesTheOffsetInForceThen)
{
    const uint64_t change = system_time_of(2024, 3, 31, 1, 0, 0);
    standin::script().utc_offset_minutes = [change](ULONGLONG at) { return at < change ? 60 : 120; };
    uint64_t before = system_time_of(2024, 3, 31, 0, 59, 59, 999);
    uint64_t after = system_time_of(2024, 3, 31, 1, 0, 0, 0);
    EXPECT_EQ(local_text(after), "2024-03-31 03:00:00.000");
    EXPECT_EQ(local_text(before), "2024-03-31 01:59:59.999");
    EXPECT_EQ(local_text(0), "(none)");
    EXPECT_EQ(local_text(0x8000000000000000ULL), "(none)");
}
