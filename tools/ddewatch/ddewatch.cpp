// ddewatch: links to DDE items the way a spreadsheet's cells do and prints
// every value that arrives, one line each: "HH:MM:SS.mmm ITEM VALUE".
//
// It speaks the raw WM_DDE_* messages rather than the DDE management library:
// that library, used as a client under Wine, drops advise data in registered
// formats such as XlTable, and spreadsheets do not use it either.
//
// One advise or request is outstanding at a time. For each item:
// WM_DDE_ADVISE and its WM_DDE_ACK, then, to fill the cell, one
// WM_DDE_REQUEST answered by WM_DDE_DATA or a negative WM_DDE_ACK. Advise
// data (WM_DDE_DATA) may arrive at any moment in between. WM_DDE_UNADVISE is
// not waited for: Wine's DDE server drops an unadvise for a registered format
// without an answer (it compares the format sign-extended), and only the end
// of the conversation ends such a link there.
//
// --probe only asks whether a server answers: it initiates and terminates
// the conversation, so the server sees no item and writes nothing of it.

#include <windows.h>
#include <dde.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "dde_value.h"
#include "items_file.h"

enum { EXIT_OK = 0, EXIT_NO_DATA = 1, EXIT_NO_SERVER = 2, EXIT_UNFINISHED = 3, EXIT_USAGE = 64 };
enum XactKind { XACT_ADVISE, XACT_REQUEST, XACT_UNADVISE };

// A transaction without an answer after this long counts as refused.
const ULONGLONG ANSWER_WAIT_MS = 10000;
const ULONGLONG FINISH_WAIT_MS = 5000;
const ULONGLONG TERMINATE_WAIT_MS = 3000;

struct WatchItem {
    std::string name;
    // Our own reference, held for the whole run: the atom's value then stays
    // this item's alone, so acknowledgements can be matched by value.
    ATOM atom = 0;
    bool advised = false;
    bool unadvise_sent = false; // its ack, if one comes, is still due
    bool answered = false;
    bool seen_value = false;
};

struct Transaction {
    XactKind kind;
    size_t item;
    HGLOBAL options; // the DDEADVISE block of an advise, ours again on a refusal
};

struct Options {
    std::string service = "Quellvarden";
    std::string topic = "Quote";
    std::string format = "xltable";
    bool request_only = false;
    bool probe = false;
    bool stop_after_first = false;
    long count = 0;     // 0: no count
    double timeout = 0; // seconds, 0: none
    std::vector<std::string> names;
};

struct Watch {
    Options opt;
    HWND client = nullptr;
    HWND server = nullptr;
    UINT format = 0; // the one asked for
    UINT xltable = 0;
    bool initiating = false;
    std::vector<WatchItem> items;
    std::unordered_map<ATOM, size_t> by_atom;
    std::deque<Transaction> todo;
    bool busy = false;
    Transaction current = {XACT_ADVISE, 0, nullptr};
    ULONGLONG current_since = 0;
    long lines = 0;
    size_t answered = 0;
    bool had_no_data = false;
    bool finishing = false; // no more lines are printed
    bool server_gone = false;
    bool terminate_sent = false;
};

static Watch watch;
static volatile LONG interrupted = 0;
static HANDLE cleanup_done;

static const char USAGE[] =
    "usage: ddewatch [--service S] [--topic T] [--format xltable|text|unicode] [--request]\n"
    "                [--count N] [--timeout SECONDS] [--items-from FILE]\n"
    "                [--stop-after-first] ITEM...\n"
    "       ddewatch [--service S] [--topic T] --probe\n"
    "Prints \"HH:MM:SS.mmm ITEM VALUE\" for every value received (unicode in UTF-8);\n"
    "--probe only opens a conversation and ends it at once.\n"
    "Exit codes: 0 done, 1 an item got no data, 2 no DDE server,\n"
    "3 timeout (or nothing more can arrive) before --count or the answers, 64 usage.\n";

static int usage_error(const char *why, const char *what)
{
    fprintf(stderr, "ddewatch: %s%s\n%s", why, what, USAGE);
    return EXIT_USAGE;
}

// Returns 0 when the command line is usable, else the exit code.
static int parse_args(int argc, char **argv)
{
    Options &o = watch.opt;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            o.names.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help") {
            fputs(USAGE, stdout);
            return -1;
        }
        if (arg == "--request") {
            o.request_only = true;
            continue;
        }
        if (arg == "--probe") {
            o.probe = true;
            continue;
        }
        if (arg == "--stop-after-first") {
            o.stop_after_first = true;
            continue;
        }

        std::string value;
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        } else if (arg == "--service" || arg == "--topic" || arg == "--format" || arg == "--count" ||
                   arg == "--timeout" || arg == "--items-from") {
            if (i + 1 >= argc)
                return usage_error("missing value for ", arg.c_str());
            value = argv[++i];
        } else {
            return usage_error("unknown option ", arg.c_str());
        }
        char *end = nullptr;
        if (arg == "--service") {
            o.service = value;
        } else if (arg == "--topic") {
            o.topic = value;
        } else if (arg == "--format") {
            if (value != "xltable" && value != "text" && value != "unicode")
                return usage_error("unknown format ", value.c_str());
            o.format = value;
        } else if (arg == "--count") {
            o.count = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || o.count < 1)
                return usage_error("bad --count ", value.c_str());
        } else if (arg == "--timeout") {
            o.timeout = strtod(value.c_str(), &end);
            if (value.empty() || *end || !(o.timeout >= 0) || o.timeout > 1e6)
                return usage_error("bad --timeout ", value.c_str());
        } else if (arg == "--items-from") {
            if (!read_items(value.c_str(), &watch.opt.names))
                return usage_error("cannot read ", value.c_str());
        } else {
            return usage_error("unknown option ", arg.c_str());
        }
    }
    if (o.probe && !o.names.empty())
        return usage_error("--probe takes no items", "");
    if (o.names.empty() && !o.probe)
        return usage_error("no items", "");
    if (o.service.empty() || o.topic.empty())
        return usage_error("empty service or topic", "");
    for (const std::string &n : o.names) {
        // Atom names stop at 255 characters.
        if (n.size() > 255)
            return usage_error("item longer than 255 characters: ", n.c_str());
    }
    return 0;
}

static bool goal_reached()
{
    if (watch.opt.count)
        return watch.lines >= watch.opt.count;
    return watch.opt.request_only && watch.answered == watch.items.size();
}

static void print_line(const WatchItem &item, const std::string &value)
{
    if (watch.finishing || goal_reached())
        return;
    SYSTEMTIME t;
    GetLocalTime(&t);
    printf("%02u:%02u:%02u.%03u %s %s\n", unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond),
           unsigned(t.wMilliseconds), item.name.c_str(), value.c_str());
    fflush(stdout);
    watch.lines++;
}

static void no_data(WatchItem &item)
{
    watch.had_no_data = true;
    print_line(item, "no data");
}

static void mark_answered(WatchItem &item)
{
    if (!item.answered) {
        item.answered = true;
        watch.answered++;
    }
}

static void server_lost()
{
    watch.server_gone = true;
    watch.busy = false;
    watch.todo.clear();
}

// Posts the next queued transaction, if none is outstanding.
static void start_next()
{
    while (!watch.busy && !watch.todo.empty() && !watch.server_gone) {
        Transaction x = watch.todo.front();
        watch.todo.pop_front();
        WatchItem &item = watch.items[x.item];
        // Each message carries a reference of its own to the item's atom; the
        // server keeps it or hands it back in its answer.
        const ATOM atom = GlobalAddAtomA(item.name.c_str());
        LPARAM lparam = 0;
        UINT msg = 0;
        if (x.kind == XACT_ADVISE) {
            x.options = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof(DDEADVISE));
            DDEADVISE *a = x.options ? static_cast<DDEADVISE *>(GlobalLock(x.options)) : nullptr;
            if (!a) {
                if (x.options)
                    GlobalFree(x.options);
                GlobalDeleteAtom(atom);
                fprintf(stderr, "ddewatch: out of memory for %s\n", item.name.c_str());
                no_data(item);
                continue;
            }
            memset(a, 0, sizeof *a);
            a->fAckReq = 1;
            a->fDeferUpd = 0;
            a->cfFormat = static_cast<short>(watch.format);
            GlobalUnlock(x.options);
            msg = WM_DDE_ADVISE;
            lparam = PackDDElParam(WM_DDE_ADVISE, reinterpret_cast<UINT_PTR>(x.options), atom);
        } else {
            msg = x.kind == XACT_REQUEST ? WM_DDE_REQUEST : WM_DDE_UNADVISE;
            lparam = PackDDElParam(msg, watch.format & 0xFFFF, atom);
        }
        if (!PostMessageA(watch.server, msg, reinterpret_cast<WPARAM>(watch.client), lparam)) {
            FreeDDElParam(msg, lparam);
            GlobalDeleteAtom(atom);
            if (x.options)
                GlobalFree(x.options);
            server_lost();
            return;
        }
        if (x.kind == XACT_UNADVISE) {
            item.advised = false;
            item.unadvise_sent = true;
            continue;
        }
        watch.current = x;
        watch.busy = true;
        watch.current_since = GetTickCount64();
    }
}

// The answer to the outstanding transaction: a refusal (negative ack, or none
// in time) or, for an advise, its acceptance.
static void finish_transaction(bool accepted)
{
    Transaction &x = watch.current;
    WatchItem &item = watch.items[x.item];
    watch.busy = false;
    switch (x.kind) {
    case XACT_ADVISE:
        if (accepted) {
            item.advised = true;
            // A new cell is filled at once, not at the next change.
            if (!watch.finishing)
                watch.todo.push_front({XACT_REQUEST, x.item, nullptr});
        } else {
            no_data(item);
        }
        break;
    case XACT_REQUEST:
        // A request is accepted by its data, never by an ack. The line comes
        // first: the last answer may be what ends the watch.
        no_data(item);
        mark_answered(item);
        break;
    case XACT_UNADVISE: // never outstanding
        break;
    }
    start_next();
}

static void on_ack(HWND from, LPARAM lparam)
{
    if (watch.initiating) {
        // The answer to WM_DDE_INITIATE is sent, not posted, and not packed;
        // its two atoms are ours to delete.
        GlobalDeleteAtom(LOWORD(lparam));
        GlobalDeleteAtom(HIWORD(lparam));
        if (!watch.server) {
            watch.server = from;
        } else if (from != watch.server) {
            PostMessageA(from, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(watch.client), 0);
        }
        return;
    }
    UINT_PTR status = 0, hi = 0;
    UnpackDDElParam(WM_DDE_ACK, lparam, &status, &hi);
    FreeDDElParam(WM_DDE_ACK, lparam);
    const ATOM atom = static_cast<ATOM>(hi);
    if (from != watch.server)
        return;
    if (!watch.busy || atom != watch.items[watch.current.item].atom) {
        auto found = watch.by_atom.find(atom);
        if (found != watch.by_atom.end() && watch.items[found->second].unadvise_sent) {
            watch.items[found->second].unadvise_sent = false;
            GlobalDeleteAtom(atom);
        }
        // Anything else is not ours to answer: Wine's DDE server, for one,
        // follows the data that answers a request with a positive ack that
        // carries the atom already handed back with the data. Deleting it
        // again would take a reference that is not ours.
        return;
    }
    GlobalDeleteAtom(atom);
    const bool accepted = (status & 0x8000) != 0;
    if (watch.current.kind == XACT_ADVISE && !accepted && watch.current.options) {
        GlobalFree(watch.current.options); // a refused advise leaves its block with us
    }
    finish_transaction(accepted);
}

static void decode_value(WORD format, const unsigned char *data, size_t size, std::string *out)
{
    char buf[64];
    if (format == (watch.xltable & 0xFFFF)) {
        if (decode_xltable(data, size, out))
            return;
        snprintf(buf, sizeof buf, "<bad xltable: %zu bytes>", size);
    } else if (format == CF_TEXT) {
        decode_text(data, size, out);
        return;
    } else if (format == CF_UNICODETEXT) {
        decode_utf16_text(data, size, out);
        return;
    } else {
        snprintf(buf, sizeof buf, "<format 0x%04X: %zu bytes>", format, size);
    }
    out->append(buf);
}

/* WM_DDE_DATA: lParam packs a global DDEDATA block and the item's atom.
   The block starts with a flag word (bit 12 fResponse: this answers a
   request; bit 13 fRelease: the receiver frees the block; bit 15 fAckReq:
   the receiver acknowledges) and the clipboard format as a 16-bit word; the
   value follows, up to the block's size. */
static void on_data(HWND from, LPARAM lparam)
{
    UINT_PTR lo = 0, hi = 0;
    UnpackDDElParam(WM_DDE_DATA, lparam, &lo, &hi);
    HGLOBAL mem = reinterpret_cast<HGLOBAL>(lo);
    const ATOM atom = static_cast<ATOM>(hi);

    WORD flags = 0, format = 0;
    std::string value;
    const unsigned char *p = mem ? static_cast<const unsigned char *>(GlobalLock(mem)) : nullptr;
    if (p) {
        const size_t size = GlobalSize(mem);
        if (size >= 4) {
            flags = static_cast<WORD>(p[0] | (p[1] << 8));
            format = static_cast<WORD>(p[2] | (p[3] << 8)); // unsigned: registered formats are 0xC000 and up
            decode_value(format, p + 4, size - 4, &value);
        } else {
            decode_value(format, p, 0, &value);
        }
        GlobalUnlock(mem);
    }
    const bool response = (flags & 0x1000) != 0;
    const bool release = (flags & 0x2000) != 0;
    const bool ack_wanted = (flags & 0x8000) != 0;

    const bool ours = from == watch.server && !watch.terminate_sent;
    bool wanted = false;
    if (ours && p) {
        auto found = watch.by_atom.find(atom);
        const size_t index = found == watch.by_atom.end() ? 0 : found->second;
        const bool asked =
            response && watch.busy && watch.current.kind == XACT_REQUEST && watch.current.item == index;
        // A cell whose link has ended takes no more values.
        if (found != watch.by_atom.end() && (asked || watch.items[index].advised)) {
            wanted = true;
            WatchItem &item = watch.items[index];
            print_line(item, value);
            if (watch.opt.stop_after_first && !item.seen_value && item.advised && !watch.finishing) {
                watch.todo.push_front({XACT_UNADVISE, index, nullptr});
            }
            item.seen_value = true;
            if (asked) {
                mark_answered(item);
                watch.busy = false;
            }
        }
    }

    // The rules of DDE memory: with an ack the atom goes back to the server,
    // without one it is ours to delete; the block is ours to free when the
    // server released it, unless we refuse it (then the server frees it).
    if (ours && ack_wanted &&
        PostMessageA(watch.server, WM_DDE_ACK, reinterpret_cast<WPARAM>(watch.client),
                     ReuseDDElParam(lparam, WM_DDE_DATA, WM_DDE_ACK, wanted ? 0x8000 : 0, atom))) {
        // lparam now belongs to the ack
        if (mem && release && wanted)
            GlobalFree(mem);
    } else {
        GlobalDeleteAtom(atom);
        FreeDDElParam(WM_DDE_DATA, lparam);
        if (mem && release)
            GlobalFree(mem);
    }
    start_next();
}

static void on_terminate(HWND from)
{
    if (from != watch.server)
        return; // a second server we turned away
    if (!watch.terminate_sent) {
        PostMessageA(watch.server, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(watch.client), 0);
        watch.terminate_sent = true;
        if (!watch.finishing)
            fprintf(stderr, "ddewatch: the server ended the conversation\n");
    }
    server_lost();
}

static LRESULT CALLBACK client_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    const HWND from = reinterpret_cast<HWND>(wparam);
    switch (msg) {
    case WM_DDE_ACK: on_ack(from, lparam); return 0;
    case WM_DDE_DATA: on_data(from, lparam); return 0;
    case WM_DDE_TERMINATE: on_terminate(from); return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

static BOOL WINAPI on_console_event(DWORD type)
{
    InterlockedExchange(&interrupted, 1);
    PostMessageA(watch.client, WM_NULL, 0, 0);
    // The process ends when this returns from a close event: let the main
    // thread end the conversation first.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(cleanup_done, 4000);
    }
    return TRUE;
}

static bool idle()
{
    return !watch.busy && watch.todo.empty();
}

static bool nothing_left()
{
    if (!idle())
        return false;
    for (const WatchItem &item : watch.items) {
        if (item.advised)
            return false;
    }
    return true;
}

// Dispatches messages until done() holds, the deadline passes (0: none) or
// the conversation is lost. Also gives up on an answer that does not come.
static void pump_until(bool (*done)(), ULONGLONG deadline)
{
    for (;;) {
        if (done() || watch.server_gone)
            return;
        ULONGLONG now = GetTickCount64();
        if (deadline && now >= deadline)
            return;
        if (watch.busy && now - watch.current_since > ANSWER_WAIT_MS) {
            fprintf(stderr, "ddewatch: no answer from the server for %s\n",
                    watch.items[watch.current.item].name.c_str());
            finish_transaction(false);
            continue;
        }
        if (!IsWindow(watch.server)) {
            if (!watch.finishing)
                fprintf(stderr, "ddewatch: the server window is gone\n");
            server_lost();
            return;
        }
        DWORD wait = 200;
        if (deadline && deadline - now < wait)
            wait = static_cast<DWORD>(deadline - now);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&m);
    }
}

static bool watching_done()
{
    return interrupted || goal_reached() || nothing_left();
}

static bool finish_done()
{
    return idle();
}
static bool terminate_done()
{
    return watch.server_gone;
}

int main(int argc, char **argv)
{
    if (int rc = parse_args(argc, argv))
        return rc < 0 ? EXIT_OK : rc;
    const ULONGLONG started = GetTickCount64();

    WNDCLASSA wc = {};
    wc.lpfnWndProc = client_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DdeWatchClient";
    RegisterClassA(&wc);
    // A top-level window, hidden: servers answer the initiate by sending to it.
    watch.client = CreateWindowExA(0, wc.lpszClassName, "ddewatch", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                   wc.hInstance, nullptr);
    if (!watch.client) {
        fprintf(stderr, "ddewatch: cannot create a window (error %lu)\n", GetLastError());
        return EXIT_NO_SERVER;
    }
    cleanup_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    watch.xltable = RegisterClipboardFormatA("XlTable");
    watch.format = watch.opt.format == "text"      ? CF_TEXT
                   : watch.opt.format == "unicode" ? CF_UNICODETEXT
                                                   : watch.xltable;

    for (const std::string &name : watch.opt.names) {
        WatchItem item;
        item.name = name;
        item.atom = GlobalAddAtomA(name.c_str());
        if (!item.atom) {
            fprintf(stderr, "ddewatch: cannot make an atom of %s\n", name.c_str());
            return EXIT_USAGE;
        }
        // Atoms ignore case: the same item twice is one cell.
        if (watch.by_atom.count(item.atom)) {
            GlobalDeleteAtom(item.atom);
            continue;
        }
        watch.by_atom[item.atom] = watch.items.size();
        watch.items.push_back(item);
    }

    const ATOM service = GlobalAddAtomA(watch.opt.service.c_str());
    const ATOM topic = GlobalAddAtomA(watch.opt.topic.c_str());
    watch.initiating = true;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(watch.client),
                        MAKELPARAM(service, topic), SMTO_ABORTIFHUNG, 3000, &ignored);
    watch.initiating = false;
    GlobalDeleteAtom(service);
    GlobalDeleteAtom(topic);
    if (!watch.server) {
        fprintf(stderr, "no DDE server for service %s topic %s\n", watch.opt.service.c_str(),
                watch.opt.topic.c_str());
        return EXIT_NO_SERVER;
    }

    // A probe has no items: nothing is asked, and the conversation ends below.
    for (size_t i = 0; i < watch.items.size(); i++) {
        watch.todo.push_back({watch.opt.request_only ? XACT_REQUEST : XACT_ADVISE, i, nullptr});
    }
    start_next();
    const ULONGLONG deadline =
        watch.opt.timeout > 0 ? started + static_cast<ULONGLONG>(watch.opt.timeout * 1000.0) : 0;
    pump_until(watching_done, deadline);

    const bool goal_set = watch.opt.count || watch.opt.request_only;
    int rc = watch.had_no_data ? EXIT_NO_DATA : EXIT_OK;
    if (goal_set && !goal_reached()) {
        if (interrupted)
            fprintf(stderr, "interrupted\n");
        else if (deadline && GetTickCount64() >= deadline)
            fprintf(stderr, "timeout\n");
        else if (!watch.server_gone)
            fprintf(stderr, "ddewatch: nothing more can arrive\n");
        rc = EXIT_UNFINISHED;
    }

    // End the links as a closing workbook does: stop every advise loop, then
    // end the conversation.
    watch.finishing = true;
    watch.todo.clear();
    pump_until(finish_done, GetTickCount64() + FINISH_WAIT_MS);
    for (size_t i = 0; i < watch.items.size(); i++) {
        if (watch.items[i].advised)
            watch.todo.push_back({XACT_UNADVISE, i, nullptr});
    }
    watch.busy = false; // an answer that did not come is given up
    start_next();
    if (!watch.terminate_sent &&
        PostMessageA(watch.server, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(watch.client), 0)) {
        watch.terminate_sent = true;
        watch.todo.clear();
        pump_until(terminate_done, GetTickCount64() + TERMINATE_WAIT_MS);
    }

    DestroyWindow(watch.client);
    for (const WatchItem &item : watch.items)
        GlobalDeleteAtom(item.atom);
    SetEvent(cleanup_done);
    return rc;
}
