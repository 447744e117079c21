#include "core/frame_pacer.h"

bool frame_due(FramePacer *pacer)
{
    HWND window = pacer->window;
    if (!pacer->changed || !window)
        return false;
    ULONGLONG now = GetTickCount64();
    ULONGLONG since = now - pacer->last_frame;
    if (since < FRAME_MS && pacer->frame_timer)
        return false;
    if (!IsWindowVisible(window))
        return false;
    if (since >= FRAME_MS) {
        // Counted as drawn before the paint: a window that gets no WM_PAINT
        // (minimised) is not asked again until the next frame.
        pacer->changed = false;
        pacer->last_frame = now;
        return true;
    }
    SetTimer(window, pacer->timer_id, static_cast<UINT>(FRAME_MS - since), nullptr);
    pacer->frame_timer = true;
    return false;
}

bool frame_timer_ended(FramePacer *pacer)
{
    pacer->frame_timer = false;
    bool due = frame_due(pacer);
    if (!pacer->frame_timer)
        KillTimer(pacer->window, pacer->timer_id);
    return due;
}

void frame_drawn(FramePacer *pacer)
{
    pacer->changed = false;
    pacer->last_frame = GetTickCount64();
}
