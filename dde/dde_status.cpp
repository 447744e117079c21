#include "dde/dde_status.h"

#include "core/item_name.h"
#include "core/status_topic.h"
#include "dde/dde_render.h"
#include "dde/dde_service.h"

#include <cstdio>

DdeStatusLinks dde_status_links;

// The item the handle names; false for anything that is not one of
// Status's, a name too long to be one included.
static bool read_status_item(HSZ item, StatusItem *which)
{
    char name[ITEM_NAME_MAX + 1];
    if (!item || DdeQueryStringA(dde_instance, item, nullptr, 0, CP_WINANSI) >= sizeof name)
        return false;
    name[0] = '\0';
    DdeQueryStringA(dde_instance, item, name, static_cast<DWORD>(sizeof name), CP_WINANSI);
    return find_status_item(name, which);
}

BOOL status_advise_start(HSZ item)
{
    StatusItem which;
    if (!read_status_item(item, &which))
        return FALSE;
    ++dde_status_links.count[which];
    return TRUE;
}

void status_advise_stop(HSZ item)
{
    StatusItem which;
    if (read_status_item(item, &which) && dde_status_links.count[which] > 0)
        --dde_status_links.count[which];
}

HDDEDATA status_data(UINT format, HSZ item)
{
    StatusItem which;
    if (!read_status_item(item, &which))
        return nullptr;
    StatusValue value = status_value(which);
    switch (value.kind) {
    case STATUS_VALUE_TEXT:
        return render_dde_data(format, item, value.text);
    case STATUS_VALUE_TIME:
        return render_dde_time(format, item, value.time);
    case STATUS_VALUE_NUMBER: {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", value.number);
        return render_dde_number(format, item, value.number, text);
    }
    }
    return nullptr;
}

void post_status_advise(StatusItem item)
{
    if (!dde_instance || dde_status_links.count[item] == 0)
        return;
    if (!dde_status_links.topic)
        dde_status_links.topic = DdeCreateStringHandleA(dde_instance, "Status", CP_WINANSI);
    HSZ handle = DdeCreateStringHandleA(dde_instance, status_item_name(item), CP_WINANSI);
    if (dde_status_links.topic && handle)
        DdePostAdvise(dde_instance, dde_status_links.topic, handle);
    if (handle)
        DdeFreeStringHandle(dde_instance, handle);
}
