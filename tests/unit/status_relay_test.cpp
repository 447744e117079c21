// The Status topic's clock, through the window's timer and the message
// that relays each new second to the advise loops.
#include "app/status_relay.h"
#include "core/status_topic.h"
#include "test_support.h"

class StatusClock : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        standin::script().system_time = system_time_of(2024, 2, 29, 12, 0, 0, 250);
        ASSERT_TRUE(start_program());
        sheet = standin::connect("Quellvarden", "Status");
        ASSERT_TRUE(standin::advise(sheet, "clock", CF_TEXT));
    }
    // The clock's timer fires at `ms` past 12:00:00 and the loop handles what it posts.
    void tick_at(int ms)
    {
        standin::script().system_time = system_time_of(2024, 2, 29, 12, 0, 0) + ms * 10000ull;
        ASSERT_TRUE(standin::timer_elapses(main_window, CLOCK_TIMER_ID));
        standin::pump();
    }
    static UINT armed_for()
    {
        const auto &timers = standin::records().timers;
        for (size_t i = timers.size(); i-- > 0;)
            if (timers[i].id == CLOCK_TIMER_ID)
                return timers[i].period;
        return 0;
    }
    std::vector<std::string> shown() const
    {
        std::vector<std::string> texts;
        for (const standin::Delivery &delivery : standin::records().deliveries)
            texts.push_back(delivery.bytes.value_or("(none)"));
        return texts;
    }
    HCONV sheet = nullptr;
};

TEST_F(StatusClock, TicksAtEachWholeSecondAndNowhereElse)
{
    EXPECT_EQ(armed_for(), 750u) << "the first tick is due at the next whole second";
    tick_at(990);  // a timer that comes early: the same second, nothing told
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(armed_for(), 10u);
    tick_at(1003);
    tick_at(2001);
    EXPECT_EQ(armed_for(), 999u);
    tick_at(4500);  // a late timer: the second it comes in
    EXPECT_EQ(shown(), (std::vector<std::string>{std::string("2024-02-29 12:00:01.000\0", 24),
                                                 std::string("2024-02-29 12:00:02.000\0", 24),
                                                 std::string("2024-02-29 12:00:04.000\0", 24)}));
    EXPECT_EQ(armed_for(), 500u);
}
