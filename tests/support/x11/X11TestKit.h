#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/window/window.h"

// What the tests of the X11 backend share: an X server of their own, the
// test's own connection to look at the display and act as its user (XTEST),
// a window manager or a Tk program when a case needs one, and waiting for
// what the display and the windows' threads do.
namespace x11test {

using namespace std::chrono_literals;
using platform::Image;
using platform::RECT;

// A program the test started; ended (and waited for) when this goes.
class Child {
public:
    // Starts argv[0] with DISPLAY set to display. stdinFd and stdoutFd, when
    // not null, receive pipes to its standard input and from its standard
    // output; its standard error goes to stderrFd's pipe when given, else to
    // the test's unless quiet.
    static std::unique_ptr<Child> Start(const std::vector<std::string>& argv, const std::string& display,
                                        int* stdinFd = nullptr, int* stdoutFd = nullptr, std::string* error = nullptr,
                                        bool quiet = false, int* stderrFd = nullptr);
    ~Child();
    pid_t Pid() const { return Process; }
    // Ends it now: SIGTERM, then SIGKILL if it is still there after a while.
    void Stop();
    // True when it has ended by itself (within limit).
    bool Ended(std::chrono::milliseconds limit);
    // Its exit status once ended (-1 when killed by a signal).
    int Status() const { return ExitStatus; }

private:
    pid_t Process = -1;
    int ExitStatus = -1;
};

// Runs a program to its end with input on its standard input: its exit
// status (-1 when it did not end within limit) and what it wrote.
struct Outcome {
    int Status = -1;
    std::string Out;
    std::string Err;
};
Outcome Run(const std::vector<std::string>& argv, const std::string& display, const std::string& input,
            std::chrono::milliseconds limit = 20s);

// An Xvfb of the test's own on a display number the server picks.
class Server {
public:
    // nullptr with why in error when Xvfb cannot start.
    static std::unique_ptr<Server> Start(int width, int height, std::string* error);
    const std::string& Display() const { return Name; }
    // Starts openbox on it and waits until it announces itself.
    bool StartWindowManager(std::string* error);
    // The server goes away at once, with everything on it.
    void Kill();

private:
    std::string Name;
    std::unique_ptr<Child> Process;
    std::unique_ptr<Child> WindowManager;
};

// The server a case runs on: its own when Xvfb can start, else the one in
// $DISPLAY when the case does not need a server of its own. Skips the case
// with a clear message when there is none.
#define X11_SERVER(server, width, height, ownNeeded)                                                      \
    std::unique_ptr<x11test::Server> server##Holder;                                                      \
    std::string server;                                                                                   \
    {                                                                                                     \
        std::string why;                                                                                  \
        server##Holder = x11test::Server::Start(width, height, &why);                                     \
        if (server##Holder)                                                                               \
            (server) = server##Holder->Display();                                                         \
        else if (!(ownNeeded) && std::getenv("DISPLAY"))                                                  \
            (server) = std::getenv("DISPLAY");                                                            \
        else                                                                                              \
            GTEST_SKIP() << "no X display for this test (" << why << "); scripts/test.sh starts an Xvfb"; \
    }

// Installs the X11 backend on display (no window may exist); false with why.
// InstallBackend(nullptr) of the window layer takes it away again.
bool InstallBackend(const std::string& display, std::chrono::milliseconds stepLimit, std::string* error);

// The test's own connection to the display.
class Client {
public:
    explicit Client(const std::string& display);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Ok() const { return Conn && !xcb_connection_has_error(Conn); }
    xcb_connection_t* Raw() const { return Conn; }
    xcb_window_t Root() const { return RootWindow; }

    // The window's parent and children as the server has them (0 / empty for a bad id).
    xcb_window_t ParentOf(xcb_window_t window);
    std::vector<xcb_window_t> ChildrenOf(xcb_window_t window);
    // Position in the parent and size; empty for a bad id.
    RECT Geometry(xcb_window_t window);
    // Where the window's origin is on the root.
    platform::POINT OnRoot(xcb_window_t window);
    bool Viewable(xcb_window_t window);
    bool OverrideRedirect(xcb_window_t window);
    bool Exists(xcb_window_t window);
    // The atoms in a window's property of type ATOM.
    std::vector<xcb_atom_t> Atoms(xcb_window_t window, const char* property);
    xcb_atom_t Atom(const char* name);

    // What the server shows in area of drawable (a window: with what covers it).
    Image Picture(xcb_drawable_t drawable, int width, int height);
    Image Screen();

    // A plain window of "another program": a child of parent (0: the root)
    // filled with colour, mapped; left alone by a window manager unless
    // managed.
    xcb_window_t MakeWindow(int x, int y, int width, int height, std::uint32_t colour, xcb_window_t parent = 0,
                            bool managed = false);
    void Resize(xcb_window_t window, int width, int height);
    void Destroy(xcb_window_t window);

    // The user, through XTEST: pointer to a point on the root, buttons.
    void MoveTo(int x, int y);
    void Press(int button);
    void Release(int button);
    // Moves to (x, y) in window, presses and releases button 1.
    void Click(xcb_window_t window, int x, int y);
    void Focus(xcb_window_t window);
    // Asks window to close, as a window manager's close button does
    // (WM_PROTOCOLS with WM_DELETE_WINDOW).
    void Close(xcb_window_t window);

    // Waits until the server has handled everything sent so far.
    void Sync();

    // For playing a window manager: a 32-bit property, and taking the root's
    // map and configure requests (false when another client has them).
    void SetProperty(xcb_window_t window, const char* name, xcb_atom_t type, const std::vector<std::uint32_t>& values);
    bool RedirectRoot();
    // Waits for an event on this connection that matches; false on time-out.
    bool WaitForEvent(const std::function<bool(const xcb_generic_event_t&)>& matches,
                      std::chrono::milliseconds limit = 5s);

private:
    xcb_connection_t* Conn = nullptr;
    xcb_window_t RootWindow = 0;
};

// Reads one line from fd (a child's output), keeping what follows in
// pending; false on time-out or when the writer is gone.
bool ReadLine(int fd, std::string& pending, std::string& line, std::chrono::milliseconds limit = 5s);

// Checks done() every few milliseconds, pumping the calling thread's window
// messages in between, until it holds or limit passes.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s);

// Where two pictures of the same size differ first, or "" when they match.
std::string Difference(const Image& expected, const Image& actual);

// A Tk program ("another toolkit in another process"): a window with one
// frame of the given size, whose X id it reports; it resizes or destroys the
// frame when told.
class TkProgram {
public:
    // nullptr with why when python3-tk cannot start on display.
    static std::unique_ptr<TkProgram> Start(const std::string& display, int width, int height, std::string* error);
    ~TkProgram();
    xcb_window_t Frame() const { return FrameId; }
    xcb_window_t TopLevel() const { return TopId; }
    void Send(const std::string& command);  // "resize W H", "destroy", "quit"
    // Waits for the program's next line ("ok ..."): false on time-out or end.
    bool Answer(std::string& line, std::chrono::milliseconds limit = 5s);

private:
    std::unique_ptr<Child> Process;
    int In = -1;
    int Out = -1;
    std::string Pending;
    xcb_window_t FrameId = 0;
    xcb_window_t TopId = 0;
};

}  // namespace x11test
