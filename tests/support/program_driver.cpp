#include "tests/support/program_driver.h"

#include "app/links_window.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "app/status_relay.h"
#include "app/tray_icon.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/log_file.h"
#include "core/registry.h"
#include "core/registry_index.h"
#include "core/status_board.h"
#include "core/status_topic.h"
#include "dde/dde_service.h"
#include "dde/dde_status.h"
#include "feed/feed_box.h"
#include "feed/feed_client.h"
#include "feed/origin_policy.h"
#include "feed/receive_buffer.h"
#include "feed/replay.h"
#include "rtd/topic_table.h"
#include "standin.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

static void free_registry()
{
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        Instrument &instrument = registry.instruments[i];
        for (uint16_t f = 0; f < instrument.field_count; ++f) {
            std::free(instrument.fields[f].name);
            std::free(instrument.fields[f].value);
        }
        std::free(instrument.fields);
    }
    std::free(registry.instruments);
    registry = SubscriptionRegistry{};
    std::free(registry_index.instruments);
    std::free(registry_index.fields);
    registry_index = RegistryIndex{};
}

// The rules of the one thread that a modal loop can break: every message
// box, dialog and popup menu begins with nothing half done beneath it
// (docs/one-thread.md: boxes, lock). Broken, the test ends there.
static void check_modal_loop(const char *loop)
{
    if (registry_lock.RecursionCount > 0)
        throw std::logic_error(std::string(loop) + " with registry_lock held");
    if (standin::dde_callback_depth() > 0)
        throw std::logic_error(std::string(loop) + " inside the DDE callback");
}

void fresh_process()
{
    standin::reset();
    standin::script().before_modal_loop = check_modal_loop;
    // The registry goes as a whole: the tables need not release their fields.
    for (TopicTable *table : rtd_state.tables)
        delete table;
    rtd_state = RtdState{};
    rtd_class_object_registers = false;
    rtd_server_stops = rtd_com_ends = 0;
    free_registry();
    std::memset(&registry_lock, 0, sizeof registry_lock);
    std::memset(&status_board, 0, sizeof status_board);
    std::memset(&log_state, 0, sizeof log_state);
    log_file = LogFile{};
    std::free(feed_client.overflow);
    reset_receive_buffer(feed_client);
    std::memset(&feed_client, 0, sizeof feed_client);
    feed_client.socket = INVALID_SOCKET;
    reset_receive_buffer(feed_client);
    feed_replay = FeedReplay{};
    feed_host = FeedHost{};
    origin_consent = OriginConsent{false, 0, false};
    feed_boxes = FeedBoxes{};
    request_new_field = nullptr;
    field_changed = nullptr;
    status_changed = nullptr;
    status_topic = StatusTopic{};
    clock_state = ClockState{};
    dde_status_links = DdeStatusLinks{};
    status_relay = StatusRelay{};
    dde_instance = 0;
    dde_advise_loops = 0;
    service_name = topic_name = time_topic_name = nullptr;
    xltable_format = 0;
    app_instance = nullptr;
    main_window = nullptr;
    listen_socket = 0;
    shutdown_begun = false;
    std::memset(&tray_icon_data, 0, sizeof tray_icon_data);
    tray_menu = nullptr;
    animation_frame = 0;
    links_window = links_list = nullptr;
}

bool start_program()
{
    HINSTANCE instance = standin::module_handle();
    register_main_window_class(instance);
    return init_instance(instance, SW_SHOWNORMAL) != FALSE;
}

void socket_event(SOCKET s, WORD event, WORD error)
{
    standin::post_socket_event(s, event, error);
    standin::pump();
}

SOCKET connect_feed_client()
{
    SOCKET s = standin::incoming_connection();
    socket_event(listen_socket, FD_ACCEPT);
    return s;
}

void feed_client_sends(SOCKET s, const std::string &bytes)
{
    standin::socket_state(s).incoming += bytes;
    socket_event(s, FD_READ);
}

std::string upgrade_request(const std::string &key)
{
    return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:8902\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Key: " +
           key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

std::string client_frame(unsigned char first_byte, const std::string &payload, bool masked)
{
    static const unsigned char key[4] = {0x37, 0xFA, 0x21, 0x3D};
    std::string frame(1, static_cast<char>(first_byte));
    unsigned char mask_bit = masked ? 0x80 : 0;
    size_t n = payload.size();
    if (n <= 125) {
        frame += static_cast<char>(mask_bit | n);
    } else if (n <= 0xFFFF) {
        frame += static_cast<char>(mask_bit | 126);
        frame += static_cast<char>(n >> 8);
        frame += static_cast<char>(n & 0xFF);
    } else {
        frame += static_cast<char>(mask_bit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF);
    }
    if (!masked)
        return frame + payload;
    frame.append(reinterpret_cast<const char *>(key), 4);
    for (size_t i = 0; i < n; ++i)
        frame += static_cast<char>(payload[i] ^ key[i % 4]);
    return frame;
}
