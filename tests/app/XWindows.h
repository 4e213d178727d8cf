#pragma once
// A copy's windows on a virtual X display as a window manager sees them,
// and what a window manager does to them.

#include "InterlinkCopies.h"

#include <dlfcn.h>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace e2e {

struct XWindow {
    std::string id;
    std::string name; // _NET_WM_NAME, which a window manager shows
    bool dialog = false;
};

// The visible windows of a copy: its main window and its message boxes.
inline std::vector<XWindow> WindowsOf(Scene& scene, const std::string& display, const Copy& c)
{
    std::string ids;
    std::vector<XWindow> windows;
    scene.Xdotool(display, {"search", "--all", "--onlyvisible", "--pid", std::to_string(c.process->Pid()), "--name", "."},
                  &ids);
    std::istringstream lines(ids);
    for (std::string id; std::getline(lines, id);) {
        ChildProcess& p = scene.Start({"/usr/bin/xprop", "-id", id, "_NET_WM_NAME", "_NET_WM_WINDOW_TYPE"},
                                      {"DISPLAY=" + display});
        if (scene.WaitForExit(p) != 0)
            continue; // gone meanwhile
        XWindow w{id, {}, p.Out().find("_NET_WM_WINDOW_TYPE_DIALOG") != std::string::npos};
        const std::string& out = p.Out();
        if (const size_t from = out.find("_NET_WM_NAME(UTF8_STRING) = \""); from != std::string::npos) {
            const size_t start = out.find('"', from) + 1;
            w.name = out.substr(start, out.find('\n', start) - 1 - start);
        }
        windows.push_back(w);
    }
    return windows;
}

// The copy's windows once they are what `wanted` holds; {} on time-out.
inline std::vector<XWindow> WaitForWindows(Scene& scene, const std::string& display, const Copy& c,
                                           const std::function<bool(const std::vector<XWindow>&)>& wanted)
{
    std::vector<XWindow> windows;
    const bool seen = scene.WaitUntil([&] { return wanted(windows = WindowsOf(scene, display, c)); });
    return seen ? windows : std::vector<XWindow>{};
}

inline size_t CountDialogs(const std::vector<XWindow>& windows)
{
    return std::ranges::count_if(windows, [](const XWindow& w) { return w.dialog; });
}

// Plays the part of a window manager, which Xvfb runs none of: minimises
// and restores windows as one does, and sees every window a program maps.
// The X library is loaded at run time, so that the tests link to nothing
// the program does not.
class WindowManagerStandIn {
public:
    explicit WindowManagerStandIn(const std::string& display)
    {
        lib_ = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!lib_ || !Bind(connect_, "xcb_connect") || !Bind(failed_, "xcb_connection_has_error") ||
            !Bind(disconnect_, "xcb_disconnect") || !Bind(setup_, "xcb_get_setup") ||
            !Bind(roots_, "xcb_setup_roots_iterator") || !Bind(watch_, "xcb_change_window_attributes") ||
            !Bind(internAtom_, "xcb_intern_atom") || !Bind(internAtomReply_, "xcb_intern_atom_reply") ||
            !Bind(changeProperty_, "xcb_change_property") ||
            !Bind(pollForEvent_, "xcb_poll_for_event"))
            return;
        x_ = connect_(display.c_str(), nullptr);
        if (failed_(x_))
            return;
        const uint32_t events = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        watch_(x_, roots_(setup_(x_)).data->root, XCB_CW_EVENT_MASK, &events);
        wmState_ = Atom("WM_STATE");
    }
    ~WindowManagerStandIn()
    {
        if (x_)
            disconnect_(x_);
        if (lib_)
            ::dlclose(lib_);
    }
    WindowManagerStandIn(const WindowManagerStandIn&) = delete;
    WindowManagerStandIn& operator=(const WindowManagerStandIn&) = delete;

    bool Ok() const { return wmState_ != XCB_ATOM_NONE; }

    // Marked iconic, or normal again; the X server has done it on return.
    // (The window stays mapped, so that keys still reach the program.)
    bool Minimise(const std::string& window) { return SetState(window, 3); }
    bool Restore(const std::string& window) { return SetState(window, 1); }

    // How many windows other than `known` have been mapped since the last
    // call, pop-ups apart; everything the X server did before this call is
    // counted.
    int WindowsMapped(const std::string& known)
    {
        Atom("WM_STATE"); // a round trip: every event before it is queued
        TakeEvents();
        const int mapped = static_cast<int>(std::ranges::count_if(mapped_, [&](xcb_window_t w) { return w != Id(known); }));
        mapped_.clear();
        return mapped;
    }

private:
    template <class F>
    bool Bind(F*& f, const char* name)
    {
        return (f = reinterpret_cast<F*>(::dlsym(lib_, name))) != nullptr;
    }
    static xcb_window_t Id(const std::string& window) { return static_cast<xcb_window_t>(std::stoul(window)); }
    xcb_atom_t Atom(const char* name)
    {
        std::unique_ptr<xcb_intern_atom_reply_t, void (*)(void*)> reply(
            internAtomReply_(x_, internAtom_(x_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr),
            std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }
    // Takes the events that have come: notes the windows mapped.
    void TakeEvents()
    {
        while (xcb_generic_event_t* e = pollForEvent_(x_)) {
            if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                const auto* m = reinterpret_cast<xcb_map_notify_event_t*>(e);
                if (!m->override_redirect)
                    mapped_.push_back(m->window);
            }
            std::free(e);
        }
    }
    bool SetState(const std::string& window, uint32_t state)
    {
        const uint32_t data[2] = {state, 0}; // and no icon window
        changeProperty_(x_, XCB_PROP_MODE_REPLACE, Id(window), wmState_, wmState_, 32, 2, data);
        return Atom("WM_STATE") == wmState_;
    }

    void* lib_ = nullptr;
    xcb_connection_t* x_ = nullptr;
    xcb_atom_t wmState_ = XCB_ATOM_NONE;
    decltype(&xcb_connect) connect_ = nullptr;
    decltype(&xcb_connection_has_error) failed_ = nullptr;
    decltype(&xcb_disconnect) disconnect_ = nullptr;
    decltype(&xcb_get_setup) setup_ = nullptr;
    decltype(&xcb_setup_roots_iterator) roots_ = nullptr;
    decltype(&xcb_change_window_attributes) watch_ = nullptr;
    decltype(&xcb_intern_atom) internAtom_ = nullptr;
    decltype(&xcb_intern_atom_reply) internAtomReply_ = nullptr;
    decltype(&xcb_change_property) changeProperty_ = nullptr;
    decltype(&xcb_poll_for_event) pollForEvent_ = nullptr;
    std::vector<xcb_window_t> mapped_;
};

} // namespace e2e
