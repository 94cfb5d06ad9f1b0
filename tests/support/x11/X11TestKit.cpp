#include "X11TestKit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include "platform/window/host.h"
#include "platform/window/x11.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>
#include <thread>

extern char** environ;

namespace x11test {

namespace {

using Clock = std::chrono::steady_clock;

template <class T>
struct Freed {
    T* Value;
    explicit Freed(T* value) : Value(value) {}
    ~Freed() { std::free(Value); }
    T* operator->() const { return Value; }
    explicit operator bool() const { return Value != nullptr; }
};

std::uint32_t Property32(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    Freed<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_ATOM_ANY, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.Value) < 4) return 0;
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.Value));
}

}  // namespace

// ------------------------------------------------------------------ Child

#define X11TEST_SANITIZER_FILE(name) ORVALIS_SOURCE_DIR "/cmake/sanitizers/" name
constexpr const char* kChildSanitizerOptions[] = {
    "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:"
    "suppressions=" X11TEST_SANITIZER_FILE("tsan.supp"),
    "LSAN_OPTIONS=print_suppressions=0:suppressions=" X11TEST_SANITIZER_FILE("lsan.supp"),
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=" X11TEST_SANITIZER_FILE("ubsan.supp"),
};

std::unique_ptr<Child> Child::Start(const std::vector<std::string>& argv, const std::string& display, int* stdinFd,
                                    int* stdoutFd, std::string* error, bool quiet, int* stderrFd) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((stdinFd && ::pipe2(in, O_CLOEXEC) != 0) || (stdoutFd && ::pipe2(out, O_CLOEXEC) != 0) ||
        (stderrFd && ::pipe2(err, O_CLOEXEC) != 0)) {
        if (error) *error = "no pipe";
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (stdoutFd) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (stderrFd) {
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    } else if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (!stdoutFd) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) environment.emplace_back(*e);
    if (!display.empty()) environment.push_back("DISPLAY=" + display);
    // Our programs built with a sanitizer judge only our code, as the test
    // programs do: the uninstrumented system libraries (GLib, GStreamer)
    // are left out. Options the environment gives still win.
    for (const char* defaults : kChildSanitizerOptions) {
        const std::string_view name(defaults, std::strchr(defaults, '=') - defaults + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& e) { return e.rfind(name, 0) == 0; })) {
            environment.emplace_back(defaults);
        }
    }
    std::vector<char*> envp, args;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = argv;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    auto child = std::unique_ptr<Child>(new Child);
    const int failed = ::posix_spawnp(&child->Process, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (stdinFd) {
        ::close(in[0]);
        *stdinFd = in[1];
    }
    if (stdoutFd) {
        ::close(out[1]);
        *stdoutFd = out[0];
    }
    if (stderrFd) {
        ::close(err[1]);
        *stderrFd = err[0];
    }
    if (failed) {
        child->Process = -1;
        if (error) *error = "cannot start " + argv[0] + ": " + std::strerror(failed);
        return nullptr;
    }
    return child;
}

bool Child::Ended(std::chrono::milliseconds limit) {
    if (Process <= 0) return true;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(Process, &status, WNOHANG) == Process) {
            Process = -1;
            ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
}

void Child::Stop() {
    if (Process <= 0) return;
    ::kill(Process, SIGTERM);
    if (Ended(3s)) return;
    ::kill(Process, SIGKILL);
    Ended(3s);
}

Child::~Child() { Stop(); }

Outcome Run(const std::vector<std::string>& argv, const std::string& display, const std::string& input,
            std::chrono::milliseconds limit) {
    Outcome outcome;
    int in = -1, out = -1, err = -1;
    std::string error;
    auto child = Child::Start(argv, display, &in, &out, &error, false, &err);
    if (!child) {
        outcome.Err = error;
        return outcome;
    }
    if (!input.empty() && ::write(in, input.data(), input.size()) < 0) outcome.Err = "cannot write the input";
    ::close(in);
    std::string pending, line;
    while (ReadLine(out, pending, line, limit)) outcome.Out += line + "\n";
    outcome.Out += pending;
    ::close(out);
    pending.clear();
    while (ReadLine(err, pending, line, limit)) outcome.Err += line + "\n";
    outcome.Err += pending;
    ::close(err);
    if (child->Ended(limit)) outcome.Status = child->Status();
    return outcome;
}

// ------------------------------------------------------------------ Server

std::unique_ptr<Server> Server::Start(int width, int height, std::string* error) {
    int ready[2];
    if (::pipe(ready) != 0) {
        if (error) *error = "no pipe";
        return nullptr;
    }
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    // -displayfd: the server takes a free display number and writes it here once it accepts clients.
    std::string why;
    auto process =
        Child::Start({"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0", screen, "-nolisten", "tcp"}, "",
                     nullptr, nullptr, &why, true);
    ::close(ready[1]);
    if (!process) {
        ::close(ready[0]);
        if (error) *error = why;
        return nullptr;
    }
    std::string pending, line;
    const bool started = ReadLine(ready[0], pending, line, 10s);
    ::close(ready[0]);
    if (!started || line.empty()) {
        if (error) *error = "Xvfb did not start";
        return nullptr;
    }
    auto server = std::unique_ptr<Server>(new Server);
    server->Name = ":" + line;
    server->Process = std::move(process);
    return server;
}

bool Server::StartWindowManager(std::string* error) {
    WindowManager = Child::Start({"openbox", "--sm-disable"}, Name, nullptr, nullptr, error, true);
    if (!WindowManager) return false;
    Client look(Name);
    const xcb_atom_t check = look.Atom("_NET_SUPPORTING_WM_CHECK");
    const bool up = Eventually(
        [&] {
            const xcb_window_t w = Property32(look.Raw(), look.Root(), check);
            return w != 0 && Property32(look.Raw(), w, check) == w;
        },
        10s);
    if (!up) {
        if (error) *error = "openbox did not announce itself";
        return false;
    }
    // It announces itself before it takes windows, and drops the map requests
    // that come meanwhile: ask again until it frames a window.
    const xcb_window_t probe = xcb_generate_id(look.Raw());
    xcb_create_window(look.Raw(), XCB_COPY_FROM_PARENT, probe, look.Root(), 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    bool managing = false;
    for (const auto deadline = Clock::now() + 10s; !managing && Clock::now() < deadline;) {
        xcb_map_window(look.Raw(), probe);
        look.Sync();
        managing = Eventually([&] { return look.ParentOf(probe) != look.Root() && look.Viewable(probe); }, 200ms);
    }
    look.Destroy(probe);
    if (!managing && error) *error = "openbox does not manage windows";
    return managing;
}

void Server::Kill() {
    if (!Process || Process->Pid() <= 0) return;
    ::kill(Process->Pid(), SIGKILL);
    Process->Ended(5s);
}

bool InstallBackend(const std::string& display, std::chrono::milliseconds stepLimit, std::string* error) {
    platform::X11Options options;
    options.Display = display;
    options.StepLimit = stepLimit;
    auto backend = platform::MakeX11Backend(options, error);
    if (!backend) return false;
    if (platform::host::InstallBackend(std::move(backend))) return true;
    if (error) *error = "windows exist already";
    return false;
}

// ------------------------------------------------------------------ Client

Client::Client(const std::string& display) {
    int screen = 0;
    Conn = xcb_connect(display.c_str(), &screen);
    if (xcb_connection_has_error(Conn)) return;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(Conn));
    for (int i = 0; i < screen && it.rem; ++i) xcb_screen_next(&it);
    RootWindow = it.data->root;
}

Client::~Client() {
    if (Conn) xcb_disconnect(Conn);
}

xcb_atom_t Client::Atom(const char* name) {
    Freed<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        Conn, xcb_intern_atom(Conn, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : 0;
}

xcb_window_t Client::ParentOf(xcb_window_t window) {
    Freed<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(Conn, xcb_query_tree(Conn, window), nullptr));
    return tree ? tree->parent : 0;
}

std::vector<xcb_window_t> Client::ChildrenOf(xcb_window_t window) {
    Freed<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(Conn, xcb_query_tree(Conn, window), nullptr));
    if (!tree) return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.Value);
    return std::vector<xcb_window_t>(children, children + xcb_query_tree_children_length(tree.Value));
}

RECT Client::Geometry(xcb_window_t window) {
    Freed<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(Conn, xcb_get_geometry(Conn, window), nullptr));
    if (!g) return RECT{};
    return RECT{g->x, g->y, g->x + g->width, g->y + g->height};
}

platform::POINT Client::OnRoot(xcb_window_t window) {
    Freed<xcb_translate_coordinates_reply_t> t(
        xcb_translate_coordinates_reply(Conn, xcb_translate_coordinates(Conn, window, RootWindow, 0, 0), nullptr));
    return t ? platform::POINT{t->dst_x, t->dst_y} : platform::POINT{};
}

bool Client::Viewable(xcb_window_t window) {
    Freed<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(Conn, xcb_get_window_attributes(Conn, window), nullptr));
    return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool Client::OverrideRedirect(xcb_window_t window) {
    Freed<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(Conn, xcb_get_window_attributes(Conn, window), nullptr));
    return a && a->override_redirect;
}

bool Client::Exists(xcb_window_t window) {
    Freed<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(Conn, xcb_get_geometry(Conn, window), nullptr));
    return static_cast<bool>(g);
}

std::vector<xcb_atom_t> Client::Atoms(xcb_window_t window, const char* property) {
    Freed<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(Conn, xcb_get_property(Conn, 0, window, Atom(property), XCB_ATOM_ATOM, 0, 64), nullptr));
    if (!reply || reply->format != 32) return {};
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.Value));
    return std::vector<xcb_atom_t>(atoms, atoms + xcb_get_property_value_length(reply.Value) / 4);
}

Image Client::Picture(xcb_drawable_t drawable, int width, int height) {
    if (width <= 0 || height <= 0) return Image{};
    Freed<xcb_get_image_reply_t> reply(
        xcb_get_image_reply(Conn,
                            xcb_get_image(Conn, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, 0, 0,
                                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u),
                            nullptr));
    if (!reply) return Image{};
    const auto* data = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(reply.Value));
    if (xcb_get_image_data_length(reply.Value) < width * height * 4) return Image{};
    Image picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture.Row(y)[x] = data[y * width + x] & 0x00FFFFFFu;
    return picture;
}

Image Client::Screen() {
    const RECT root = Geometry(RootWindow);
    return Picture(RootWindow, root.right, root.bottom);
}

xcb_window_t Client::MakeWindow(int x, int y, int width, int height, std::uint32_t colour, xcb_window_t parent,
                                bool managed) {
    const xcb_window_t window = xcb_generate_id(Conn);
    const std::uint32_t values[] = {colour, managed ? 0u : 1u};
    xcb_create_window(Conn, XCB_COPY_FROM_PARENT, window, parent ? parent : RootWindow, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(Conn, window);
    Sync();
    return window;
}

void Client::Resize(xcb_window_t window, int width, int height) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
    xcb_configure_window(Conn, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
    Sync();
}

void Client::Destroy(xcb_window_t window) {
    xcb_destroy_window(Conn, window);
    Sync();
}

void Client::MoveTo(int x, int y) {
    xcb_test_fake_input(Conn, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, RootWindow, static_cast<std::int16_t>(x),
                        static_cast<std::int16_t>(y), 0);
    Sync();
}

void Client::Press(int button) {
    xcb_test_fake_input(Conn, XCB_BUTTON_PRESS, static_cast<std::uint8_t>(button), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    Sync();
}

void Client::Release(int button) {
    xcb_test_fake_input(Conn, XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(button), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        0);
    Sync();
}

void Client::Close(xcb_window_t window) {
    xcb_client_message_event_t close{};
    close.response_type = XCB_CLIENT_MESSAGE;
    close.format = 32;
    close.window = window;
    close.type = Atom("WM_PROTOCOLS");
    close.data.data32[0] = Atom("WM_DELETE_WINDOW");
    xcb_send_event(Conn, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&close));
    Sync();
}

void Client::Click(xcb_window_t window, int x, int y) {
    const platform::POINT origin = OnRoot(window);
    MoveTo(origin.x + x, origin.y + y);
    Press(1);
    Release(1);
}

void Client::Focus(xcb_window_t window) {
    xcb_set_input_focus(Conn, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    Sync();
}

void Client::SetProperty(xcb_window_t window, const char* name, xcb_atom_t type,
                         const std::vector<std::uint32_t>& values) {
    xcb_change_property(Conn, XCB_PROP_MODE_REPLACE, window, Atom(name), type, 32,
                        static_cast<std::uint32_t>(values.size()), values.data());
    Sync();
}

bool Client::RedirectRoot() {
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    xcb_generic_error_t* error =
        xcb_request_check(Conn, xcb_change_window_attributes_checked(Conn, RootWindow, XCB_CW_EVENT_MASK, &mask));
    std::free(error);
    return error == nullptr;
}

bool Client::WaitForEvent(const std::function<bool(const xcb_generic_event_t&)>& matches,
                          std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (xcb_generic_event_t* event = xcb_poll_for_event(Conn)) {
            const bool found = matches(*event);
            std::free(event);
            if (found) return true;
            continue;
        }
        pollfd p{xcb_get_file_descriptor(Conn), POLLIN, 0};
        ::poll(&p, 1, 5);
    }
    return false;
}

void Client::Sync() { std::free(xcb_get_input_focus_reply(Conn, xcb_get_input_focus(Conn), nullptr)); }

// ------------------------------------------------------------------ waiting and comparing

bool ReadLine(int fd, std::string& pending, std::string& line, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (const auto end = pending.find('\n'); end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return done();
        platform::PumpMessages(2ms);
    }
}

std::string Difference(const Image& expected, const Image& actual) {
    std::ostringstream text;
    if (expected.Width() != actual.Width() || expected.Height() != actual.Height()) {
        text << "sizes differ: " << expected.Width() << "x" << expected.Height() << " against " << actual.Width() << "x"
             << actual.Height();
        return text.str();
    }
    for (int y = 0; y < expected.Height(); ++y) {
        for (int x = 0; x < expected.Width(); ++x) {
            if (expected.Row(y)[x] != actual.Row(y)[x]) {
                text << "first difference at (" << x << ", " << y << "): 0x" << std::hex << expected.Row(y)[x]
                     << " against 0x" << actual.Row(y)[x];
                return text.str();
            }
        }
    }
    return "";
}

// ------------------------------------------------------------------ Tk

namespace {

// A plain Tk program: nothing of ours. It answers each command with one line.
constexpr const char* kTkScript = R"(
import sys, tkinter as tk
width, height = int(sys.argv[1]), int(sys.argv[2])
root = tk.Tk()
root.title("tk host")
frame = tk.Frame(root, width=width, height=height, background="#808080")
frame.pack(padx=10, pady=10)
root.update()
print("frame", frame.winfo_id(), int(root.wm_frame(), 16), flush=True)

def command(*_):
    global frame
    words = sys.stdin.readline().split()
    if not words or words[0] == "quit":
        root.destroy()
        return
    if words[0] == "resize":
        frame.configure(width=int(words[1]), height=int(words[2]))
        root.update()
        print("ok", frame.winfo_width(), frame.winfo_height(), flush=True)
    elif words[0] == "destroy":
        frame.destroy()
        root.update()
        print("ok destroyed", flush=True)

root.tk.createfilehandler(sys.stdin, tk.READABLE, command)
root.mainloop()
)";

}  // namespace

std::unique_ptr<TkProgram> TkProgram::Start(const std::string& display, int width, int height, std::string* error) {
    auto program = std::unique_ptr<TkProgram>(new TkProgram);
    program->Process =
        Child::Start({"/usr/bin/python3", "-c", kTkScript, std::to_string(width), std::to_string(height)}, display,
                     &program->In, &program->Out, error);
    if (!program->Process) return nullptr;
    std::string line;
    if (!program->Answer(line, 10s)) {
        if (error) *error = "the Tk program did not start (is python3-tk installed?)";
        return nullptr;
    }
    std::istringstream words(line);
    std::string tag;
    words >> tag >> program->FrameId >> program->TopId;
    if (tag != "frame" || !program->FrameId) {
        if (error) *error = "the Tk program said: " + line;
        return nullptr;
    }
    return program;
}

TkProgram::~TkProgram() {
    if (In >= 0) {
        Send("quit");
        ::close(In);
    }
    if (Process) Process->Ended(3s);
    if (Out >= 0) ::close(Out);
}

void TkProgram::Send(const std::string& command) {
    const std::string line = command + "\n";
    if (::write(In, line.data(), line.size()) < 0) ADD_FAILURE() << "cannot talk to the Tk program";
}

bool TkProgram::Answer(std::string& line, std::chrono::milliseconds limit) {
    return ReadLine(Out, Pending, line, limit);
}

}  // namespace x11test
