// ws2_32: fake sockets whose traffic the tests script and read. No real
// network is touched; readiness is whatever post_socket_event announces.
#include "state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace standin {

SocketState &socket_state(SOCKET s)
{
    auto it = P().sockets.find(s);
    if (it == P().sockets.end())
        throw std::logic_error("standin::socket_state: unknown socket");
    return it->second;
}

// handle: a closed socket's value to hand out again; 0 for a new one.
static SOCKET new_socket(int af, int type, int protocol, SOCKET handle = 0)
{
    SOCKET s = handle ? handle : 0x100 + 4 * P().sockets.size();  // Windows hands out multiples of 4
    SocketState state;
    state.af = af;
    state.type = type;
    state.protocol = protocol;
    P().sockets[s] = state;
    return s;
}

SOCKET incoming_connection(SOCKET reuse)
{
    SOCKET s = reuse ? reuse : new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    P().accepts.push_back({s, 0, reuse != 0});
    return s;
}

void failed_accept(int error)
{
    P().accepts.push_back({INVALID_SOCKET, error, false});
}

void post_socket_event(SOCKET s, WORD event, WORD error)
{
    SocketState &state = socket_state(s);
    if (!state.select_window)
        throw std::logic_error("standin::post_socket_event: no WSAAsyncSelect for the socket");
    PostMessageA(state.select_window, state.select_message, s, WSAMAKESELECTREPLY(event, error));
}

}  // namespace standin

using namespace standin;

static int fail(int error)
{
    P().socket_error = error;
    return SOCKET_ERROR;
}

static SocketState *open_socket(SOCKET s)
{
    auto it = P().sockets.find(s);
    if (it == P().sockets.end() || !it->second.open) {
        P().socket_error = WSAENOTSOCK;
        return nullptr;
    }
    return &it->second;
}

int WSAStartup(WORD version, LPWSADATA data)
{
    P().records.wsa_startups.push_back(version);
    if (int r = P().script.wsa_startup_result)
        return r;
    *data = WSADATA();
    data->wVersion = version;
    data->wHighVersion = MAKEWORD(2, 2);
    std::snprintf(data->szDescription, sizeof data->szDescription, "standin sockets");
    P().wsa_started++;
    return 0;
}

int WSACleanup(void)
{
    P().records.wsa_cleanups++;
    if (P().wsa_started == 0)
        return fail(WSANOTINITIALISED);
    P().wsa_started--;
    return 0;
}

SOCKET socket(int af, int type, int protocol)
{
    int error = P().wsa_started ? P().script.socket_error : WSANOTINITIALISED;
    SOCKET s = error ? INVALID_SOCKET : new_socket(af, type, protocol);
    if (error)
        P().socket_error = error;
    P().records.sockets.push_back({af, type, protocol, s});
    return s;
}

int bind(SOCKET s, const struct sockaddr *name, int length)
{
    BindRecord r{s, 0, 0, 0, length};
    if (name && length >= 2)
        r.family = name->sa_family;
    if (name && length >= static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in in;
        std::memcpy(&in, name, sizeof in);
        r.address = in.sin_addr.S_un.S_addr;
        r.port = in.sin_port;
    }
    P().records.binds.push_back(r);
    if (!open_socket(s))
        return SOCKET_ERROR;
    return P().script.bind_error ? fail(P().script.bind_error) : 0;
}

int listen(SOCKET s, int backlog)
{
    P().records.listens.push_back({s, backlog});
    return open_socket(s) ? 0 : SOCKET_ERROR;
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG events)
{
    P().records.async_selects.push_back({s, hwnd, msg, events});
    SocketState *state = open_socket(s);
    if (!state)
        return SOCKET_ERROR;
    if (P().script.async_select_error)
        return fail(P().script.async_select_error);
    state->select_window = events ? hwnd : nullptr;
    state->select_message = msg;
    state->select_events = events;
    return 0;
}

int closesocket(SOCKET s)
{
    P().records.closed.push_back(s);
    SocketState *state = open_socket(s);
    if (!state)
        return SOCKET_ERROR;
    state->open = false;
    return 0;
}

SOCKET accept(SOCKET s, struct sockaddr *, int *)
{
    if (!open_socket(s))
        return INVALID_SOCKET;
    if (P().accepts.empty()) {
        P().socket_error = WSAEWOULDBLOCK;
        return INVALID_SOCKET;
    }
    Process::PendingAccept next = P().accepts.front();
    P().accepts.pop_front();
    if (next.error)
        P().socket_error = next.error;
    if (next.reuse) {
        // Windows hands out a closed socket's value again, never an open one's.
        if (socket_state(next.s).open)
            misuse("accept: a reused socket handle is still open");
        new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP, next.s);
    }
    return next.s;
}

int WSARecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE)
{
    if (overlapped)
        misuse("WSARecv: overlapped receive is not supported");
    SocketState *state = open_socket(s);
    if (!state)
        return SOCKET_ERROR;
    if (int error = state->recv_error) {
        state->recv_error = 0;
        return fail(error);
    }
    if (state->incoming.empty() && !state->peer_closed)
        return fail(WSAEWOULDBLOCK);
    size_t done = 0;
    for (DWORD i = 0; i < count; i++) {
        size_t n = std::min<size_t>(buffers[i].len, state->incoming.size() - done);
        std::memcpy(buffers[i].buf, state->incoming.data() + done, n);
        done += n;
    }
    state->incoming.erase(0, done);
    *received = static_cast<DWORD>(done);
    if (flags)
        *flags = 0;
    // As Windows Sockets re-enables FD_READ: data left behind announces itself again.
    if (!state->incoming.empty() && (state->select_events & FD_READ) && state->select_window)
        PostMessageA(state->select_window, state->select_message, s, WSAMAKESELECTREPLY(FD_READ, 0));
    return 0;
}

// A non-blocking socket that accepts nothing fails with WSAEWOULDBLOCK.
int WSASend(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD, LPWSAOVERLAPPED overlapped,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE)
{
    if (overlapped)
        misuse("WSASend: overlapped send is not supported");
    SocketState *state = open_socket(s);
    if (!state)
        return SOCKET_ERROR;
    state->send_calls++;
    if (state->write_shut)
        return fail(WSAESHUTDOWN);
    if (state->send_error)
        return fail(state->send_error);
    std::string offered;
    for (DWORD i = 0; i < count; i++)
        offered.append(buffers[i].buf, buffers[i].len);
    size_t n = state->send_room < 0 ? offered.size() : std::min<size_t>(offered.size(), state->send_room);
    if (n == 0 && !offered.empty())
        return fail(WSAEWOULDBLOCK);
    if (state->send_room > 0)
        state->send_room -= static_cast<long>(n);
    state->sent.append(offered, 0, n);
    *sent = static_cast<DWORD>(n);
    return 0;
}

int WSAGetLastError(void)
{
    return P().socket_error;
}

int shutdown(SOCKET s, int how)
{
    if (how != SD_SEND)
        misuse("shutdown: only SD_SEND is supported");
    SocketState *state = open_socket(s);
    if (!state)
        return SOCKET_ERROR;
    state->write_shut = true;
    return 0;
}

USHORT htons(USHORT v)
{
    return static_cast<USHORT>((v >> 8) | (v << 8));
}
USHORT ntohs(USHORT v)
{
    return htons(v);
}
ULONG htonl(ULONG v)
{
    return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}
ULONG ntohl(ULONG v)
{
    return htonl(v);
}

// Only the plain dotted quad: four decimal parts of 0 to 255.
ULONG inet_addr(const char *text)
{
    unsigned char bytes[4];
    const char *p = text;
    for (int i = 0; i < 4; i++) {
        if (!p || *p < '0' || *p > '9')
            return INADDR_NONE;
        unsigned v = 0;
        for (int digits = 0; *p >= '0' && *p <= '9'; p++)
            if (++digits > 3 || (v = v * 10 + (*p - '0')) > 255)
                return INADDR_NONE;
        bytes[i] = static_cast<unsigned char>(v);
        if (i < 3 && *p++ != '.')
            return INADDR_NONE;
    }
    if (*p)
        return INADDR_NONE;
    ULONG address;
    std::memcpy(&address, bytes, 4);  // network order is the order in memory
    return address;
}
