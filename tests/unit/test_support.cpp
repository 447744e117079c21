#include "test_support.h"

#include <cstdlib>
#include <cstring>

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
}

void fresh_process()
{
    standin::reset();
    free_registry();
    std::memset(&registry_lock, 0, sizeof registry_lock);
    std::memset(&status_board, 0, sizeof status_board);
    std::memset(&feed_client, 0, sizeof feed_client);
    feed_client.socket = INVALID_SOCKET;
    dde_instance = 0;
    service_name = topic_name = nullptr;
    xltable_format = 0;
    app_instance = nullptr;
    main_window = nullptr;
    listen_socket = 0;
    shutdown_begun = false;
    std::memset(&tray_icon_data, 0, sizeof tray_icon_data);
    tray_menu = nullptr;
    animation_frame = 0;
}

void start_dde_side()
{
    InitializeCriticalSectionAndSpinCount(&registry_lock, 1024);
    ASSERT_EQ(dde_start(), 1);
}

SOCKET open_feed_client()
{
    SOCKET s = standin::incoming_connection();
    feed_client.socket = accept(s, nullptr, nullptr);
    feed_client.state = FEED_OPEN;
    return feed_client.socket;
}

std::string status_line(int line)
{
    return status_board.lines[line];
}

static std::string table_header()
{
    return std::string("\x10\x00\x04\x00\x01\x00\x01\x00", 8);
}

std::string xltable_number(double value)
{
    std::string bytes = table_header() + std::string("\x01\x00\x08\x00", 4);
    unsigned char raw[8];
    std::memcpy(raw, &value, 8);  // the test hosts are little-endian, as is the format
    return bytes + std::string(reinterpret_cast<char *>(raw), 8);
}

std::string xltable_string(const std::string &text)
{
    size_t n = text.size();
    std::string bytes = table_header() + "\x02";
    bytes += '\0';
    bytes += static_cast<char>((n + 1) & 0xFF);
    bytes += static_cast<char>((n + 1) >> 8);
    bytes += static_cast<char>(n);
    return bytes + text;
}
