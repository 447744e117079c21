// A fresh program for every test: the stand-in layer and every global record
// of the program back to their load-time state.
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
#include "feed/frames.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <string>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command);

void fresh_process();
// The registry lock and the DDE service, as start-up leaves them, with no window.
void start_dde_side();
// A connected feed client in the open state on a stand-in socket.
SOCKET open_feed_client();
std::string status_line(int line);

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { fresh_process(); }
    void TearDown() override { fresh_process(); }
};

// The bytes of an XlTable block, built independently of the renderer.
std::string xltable_number(double value);
std::string xltable_string(const std::string &text);
