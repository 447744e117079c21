// The program in a fresh "process" on the stand-in layer, and the events
// Windows and a feed client bring it, with no test framework: shared by the
// unit tests and the fuzz targets.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>

// What the native build's stand-in for the RTD server's COM shell answers
// start-up: whether its class object registered (false after fresh_process).
extern bool rtd_class_object_registers;
// How often start-up or shutdown stopped the RTD server and let go of COM.
extern int rtd_server_stops, rtd_com_ends;

// The stand-in layer and every global record of the program back to their
// load-time state; frees what the registry and the send queue hold.
void fresh_process();

// The whole program up to its message loop, as WinMain brings it up. False
// when start-up failed.
bool start_program();
// A client connecting to the listener: the socket the program accepted.
SOCKET connect_feed_client();
// Bytes arriving from the client, announced by FD_READ and handled.
void feed_client_sends(SOCKET s, const std::string &bytes);
// A client's socket event, as Windows Sockets posts it, handled.
void socket_event(SOCKET s, WORD event, WORD error = 0);
// A browser's upgrade request, with the sample key of RFC 6455 unless told.
std::string upgrade_request(const std::string &key = "dGhlIHNhbXBsZSBub25jZQ==");
// A frame as a feed client sends it; masked ones use the key 37 FA 21 3D.
std::string client_frame(unsigned char first_byte, const std::string &payload, bool masked = true);
