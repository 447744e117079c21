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
#include "feed/feed_messages.h"
#include "feed/frame_codec.h"
#include "feed/frames.h"
#include "feed/origin_policy.h"
#include "feed/send_queue.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <string>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command);

void fresh_process();
// The registry lock, the DDE service and the feed ready for a client, as
// start-up leaves them, with no window.
void start_dde_side();
// A connected feed client in the open state on a stand-in socket.
SOCKET open_feed_client();

// The whole program up to its message loop, as WinMain brings it up.
void start_program();
// A client connecting to the listener: the socket the program accepted.
SOCKET connect_feed_client();
// Bytes arriving from the client, announced by FD_READ and handled.
void feed_client_sends(SOCKET s, const std::string &bytes);
// A client's socket event, as Windows Sockets posts it, handled.
void socket_event(SOCKET s, WORD event, WORD error = 0);
// A browser's upgrade request, with the sample key of RFC 6455 unless told.
std::string upgrade_request(const std::string &key = "dGhlIHNhbXBsZSBub25jZQ==");
// A client through its handshake; what it was sent so far is forgotten.
SOCKET handshaken_feed_client();
// A frame as a feed client sends it; masked ones use the key 37 FA 21 3D.
std::string client_frame(unsigned char first_byte, const std::string &payload, bool masked = true);
// The request frame for item, built independently of the program.
std::string request_frame(const std::string &item);
std::string status_line(int line);

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { fresh_process(); }
    void TearDown() override { fresh_process(); }
};

// The bytes of an XlTable block, built independently of the renderer.
std::string xltable_number(double value);
std::string xltable_string(const std::string &text);
