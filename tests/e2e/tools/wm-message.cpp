// Sends a window manager's client message to a window, as a window manager would.
//   wm-message ping WINDOW     _NET_WM_PING; exits 0 once the window answers, 1 after 3 s
//   wm-message delete WINDOW   WM_DELETE_WINDOW, what the close box sends
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>

namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const auto cookie = xcb_intern_atom(connection, 0, std::uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3 || (std::strcmp(argv[1], "ping") != 0 && std::strcmp(argv[1], "delete") != 0)) {
        std::fputs("usage: wm-message ping|delete WINDOW\n", stderr);
        return 2;
    }
    const bool ping = std::strcmp(argv[1], "ping") == 0;
    const auto window = xcb_window_t(std::stoul(argv[2], nullptr, 0));
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fputs("wm-message: no display\n", stderr);
        return 2;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t protocols = atom(connection, "WM_PROTOCOLS");
    const xcb_atom_t message = atom(connection, ping ? "_NET_WM_PING" : "WM_DELETE_WINDOW");

    // The answer to a ping goes to the root window, to those who watch its structure (Qt) or
    // redirect its children (the window manager).
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);

    constexpr std::uint32_t kTimestamp = 0x5eed;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = protocols;
    event.data.data32[0] = message;
    event.data.data32[1] = kTimestamp;
    event.data.data32[2] = window;
    xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    // A round trip, so that the server has handled the message before this client leaves.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    if (!ping) {
        xcb_disconnect(connection);
        return 0;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int answered = 1;
    while (answered != 0 && std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd descriptor{xcb_get_file_descriptor(connection), POLLIN, 0};
        ::poll(&descriptor, 1, int(left.count()) + 1);
        while (xcb_generic_event_t* received = xcb_poll_for_event(connection)) {
            if ((received->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* reply = reinterpret_cast<xcb_client_message_event_t*>(received);
                if (reply->window == root && reply->type == protocols &&
                    reply->data.data32[0] == message && reply->data.data32[1] == kTimestamp)
                    answered = 0;
            }
            std::free(received);
        }
    }
    xcb_disconnect(connection);
    return answered;
}
