// A fresh program for every test (tests/support/program_driver.h), and what
// the unit tests check it with.
#pragma once
#include "app/main_window.h"
#include "app/resource.h"
#include "app/startup.h"
#include "app/tray_icon.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_render.h"
#include "dde/dde_service.h"
#include "feed/feed_client.h"
#include "feed/feed_messages.h"
#include "feed/frame_codec.h"
#include "feed/frames.h"
#include "feed/origin_policy.h"
#include "feed/send_queue.h"
#include "standin.h"
#include "tests/support/program_driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command);

// The registry lock, the DDE service and the feed ready for a client, as
// start-up leaves them, with no window.
void start_dde_side();
// A connected feed client in the open state on a stand-in socket.
SOCKET open_feed_client();

// A client through its handshake; what it was sent so far is forgotten.
SOCKET handshaken_feed_client();
// The request frame for item, built independently of the program.
std::string request_frame(const std::string &item);
std::string status_line(int line);
// The log's lines not yet written, each without its time and its CRLF.
std::vector<std::string> logged_events();

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { fresh_process(); }
    void TearDown() override { fresh_process(); }
};

// A UTC instant as a system time (100-ns ticks since 1601), through the C
// library's calendar, independent of the program's.
uint64_t system_time_of(int year, int month, int day, int hour, int minute, int second, int ms = 0);

// The bytes of an XlTable block, built independently of the renderer.
std::string xltable_number(double value);
std::string xltable_string(const std::string &text);
