// The native build has no COM: this stands in for the COM shell of the RTD
// server, so that start-up can be driven with the class object registered
// or not; the RTD side's plain data is driven by the unit tests directly.
#include "rtd/rtd_server.h"

#include "tests/support/program_driver.h"

bool rtd_class_object_registers = false;
int rtd_server_stops, rtd_com_ends;

bool start_rtd_server()
{
    return rtd_class_object_registers;
}

void stop_rtd_server()
{
    ++rtd_server_stops;
}

void end_rtd_com()
{
    ++rtd_com_ends;
}

void notify_rtd_clients(bool)
{
}

void rtd_notify_failed(LPARAM)
{
}
