#include "Session.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <list>
#include <optional>

#include "platform/notice/notice.h"
#include "platform/window/host.h"
#include "platform/window/text.h"

using namespace platform;
using ocx_container::Literal;
using ocx_container::ParseCount;
using ocx_container::Tokenize;

namespace {

constexpr std::chrono::milliseconds kLongestPump{600000};
constexpr int kDefaultWaitMs = 10000;
// Long enough for the posted mouse messages and the repaint they cause.
constexpr std::chrono::milliseconds kSettle{50};
constexpr int kLargestWindow = 4096;
// Where help starts the description of each command.
constexpr std::size_t kHelpColumn = 35;

std::string Arguments(const EventInfo& event, std::span<Variant> args) {
    std::string text;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) text += ", ";
        text += (i < event.Params.size() ? event.Params[i].Name : "?") + "=" + args[i].ToDisplayString();
    }
    return text;
}

}  // namespace

struct Session::References {
    std::list<std::int32_t> Longs;
    std::list<double> Doubles;
    std::list<std::string> Strings;
    std::list<OLE_COLOR> Colours;
};

std::span<const Session::Command> Session::Commands() {
    static const Command table[] = {
        {"create", nullptr, "PROGID|{CLSID} [as NAME]", "create a control (it becomes the current one)",
         &Session::Create},
        {"use", nullptr, "NAME", "make another control the current one", &Session::Use},
        {"controls", nullptr, "", "list the controls held", &Session::ListControls},
        {"members", nullptr, "", "list the current control's members", &Session::Members},
        {"events", nullptr, "", "list the current control's events", &Session::Events},
        {"call", nullptr, "METHOD [ARG...]",
         "call a method; ARG is 42, 0xFF, 1.5, true, \"text\",\n"
         "a bare word (text), or & / &VALUE for a by-reference\n"
         "parameter (its value is shown after the call)",
         &Session::Call},
        {"get", nullptr, "PROPERTY", "show a property's value", &Session::Get},
        {"set", nullptr, "PROPERTY VALUE", "give a property a value", &Session::Set},
        {"answer", nullptr, "EVENT [PARAM=VALUE...]",
         "set by-reference parameters of EVENT when it fires\n"
         "(no assignments: stop answering it)",
         &Session::Answer},
        {"activate", nullptr, "WIDTH HEIGHT", "show the control in a window of that size", &Session::Activate},
        {"embed", nullptr, "XID",
         "show the control inside the X window XID of another\n"
         "program (a Tk frame's winfo_id()...), filling it and\n"
         "following its size (needs --display)",
         &Session::Embed},
        {"deactivate", nullptr, "", "take its window away again", &Session::Deactivate},
        {"click", nullptr, "X Y", "a left click at (X, Y) in the control's window", &Session::Click},
        {"pump", nullptr, "MILLISECONDS", "handle window messages for that long", &Session::Pump},
        {"wait", nullptr, "EVENT COUNT [MILLISECONDS]",
         "handle messages until EVENT has fired COUNT times\n"
         "in all (give up after MILLISECONDS, 10000)",
         &Session::Wait},
        {"save", nullptr, "FILE", "save the control's properties", &Session::Save},
        {"load", nullptr, "FILE", "load the control's properties", &Session::Load},
        {"png", nullptr, "FILE", "write a picture of the control's window", &Session::Png},
        {"screenshot", nullptr, "FILE", "write a picture of the whole screen", &Session::Screenshot},
        {"verb", nullptr, "properties [PNG]",
         "show the control's property pages (PNG: write a\n"
         "picture of each, the second as PNG-2 and so on)",
         &Session::Verb},
        {"release", nullptr, "[NAME]", "release a control", &Session::Release},
        {"echo", nullptr, "TEXT", "print TEXT", &Session::Echo},
        {"help", "?", "", "list the commands", &Session::Help},
        {"quit", "exit", "", "end the session", &Session::QuitSession},
    };
    return table;
}

std::string Session::Usage(const Command& command) {
    return *command.Arguments ? std::string(command.Name) + " " + command.Arguments : command.Name;
}

std::string Session::HelpText() {
    std::string text = "Commands (one a line; # starts a comment):\n";
    for (const Command& command : Commands()) {
        std::string line = "  " + Usage(command);
        line.resize(std::max(kHelpColumn, line.size() + 2), ' ');
        for (const char* help = command.Help; *help; ++help) {
            line += *help;
            if (*help == '\n') line.append(kHelpColumn, ' ');
        }
        text += line + "\n";
    }
    return text + "Events print as they fire: event NAME.EVENT(PARAM=VALUE, ...).\n";
}

Session::Session(std::FILE* out, std::FILE* err) : Out(out), Err(err) {
    // The controls' own notices (an error nobody cancelled, a stuck thread)
    // belong in the session's output, in order with everything else.
    SetNoticeHandler([this](std::string_view text) { PrintLine("notice: " + std::string(text)); });
    // The container shows Error events itself, so it cancels their default display.
    Answers["error"]["canceldisplay"] = "true";
}

Session::~Session() {
    while (!Controls.empty()) {
        Controls.back().Control.reset();
        if (Controls.back().Container) DestroyWindow(Controls.back().Container);
        Controls.pop_back();
    }
    SetNoticeHandler({});
}

void Session::PrintLine(const std::string& text) {
    std::lock_guard guard(PrintLock);
    std::fprintf(Out, "%s\n", text.c_str());
    std::fflush(Out);
}

void Session::Fail(int lineNumber, const std::string& text) {
    std::lock_guard guard(PrintLock);
    std::fflush(Out);
    std::fprintf(Err, "error: line %d: %s\n", lineNumber, text.c_str());
    std::fflush(Err);
}

bool Session::UsageError(const Line& line, const std::string& note) {
    Fail(line.Number, "usage: " + Usage(line.Entry) + (note.empty() ? "" : " (" + note + ")"));
    return false;
}

bool Session::Succeeded(const Line& line, HRESULT hr, const DispatchError& error) {
    if (SUCCEEDED(hr)) return true;
    Fail(line.Number, error.Description.empty() ? DescribeResult(hr) : error.Description);
    return false;
}

bool Session::Execute(std::string_view text, int lineNumber) {
    try {
        std::vector<Token> tokens;
        std::string problem;
        if (!Tokenize(text, tokens, problem)) {
            Fail(lineNumber, problem);
            return false;
        }
        if (tokens.empty()) return true;
        const std::string word = LowerAscii(tokens[0].Text);
        for (const Command& command : Commands()) {
            if (word == command.Name || (command.Alias && word == command.Alias)) {
                return (this->*command.Run)(Line{command, tokens, lineNumber});
            }
        }
        Fail(lineNumber, "unknown command \"" + tokens[0].Text + "\" (try help)");
        return false;
    } catch (const std::exception& e) {
        Fail(lineNumber, std::string("the command failed: ") + e.what());
        return false;
    }
}

Session::Held* Session::Find(std::string_view name) {
    for (Held& held : Controls) {
        if (held.Name == name) return &held;
    }
    return nullptr;
}

Session::Held* Session::Current(int lineNumber) {
    Held* held = Find(CurrentName);
    if (!held) Fail(lineNumber, "no control yet: create one first");
    return held;
}

Session::Held* Session::CurrentFor(const Line& line, std::size_t words) {
    if (line.Tokens.size() != words) {
        UsageError(line);
        return nullptr;
    }
    return Current(line.Number);
}

const MemberDescription* Session::DescribeMember(Held& held, DISPID id, MemberDescription& scratch) {
    if (const ClassTypeInfo* info = held.Control->TypeInfo()) {
        if (const MemberDescription* member = info->Dispatch.FindById(id)) return member;
    }
    const DispatchMember* own = held.Control->Control()->GetDispatchTable().FindById(id);
    if (!own) return nullptr;
    scratch = MemberDescription{own->MemberId, own->Name, own->Kind, own->Params, own->Result, own->Help};
    return &scratch;
}

void Session::OnEvent(const std::string& controlName, const EventInfo& event, std::span<Variant> args) {
    std::string text = "event " + controlName + "." + event.Name + "(" + Arguments(event, args) + ")";
    std::vector<std::string> answered;
    {
        std::lock_guard guard(PrintLock);
        ++Fired[controlName][LowerAscii(event.Name)];
        auto found = Answers.find(LowerAscii(event.Name));
        if (found != Answers.end()) {
            for (std::size_t i = 0; i < args.size() && i < event.Params.size(); ++i) {
                auto value = found->second.find(LowerAscii(event.Params[i].Name));
                if (value == found->second.end() || !args[i].IsByRef()) continue;
                Variant typed;
                VARTYPE base = event.Params[i].Type & VT_TYPEMASK;
                if (FAILED(ChangeType(Variant(value->second), base, typed))) continue;
                bool written = false;
                switch (base) {
                    case VT_BOOL: written = args[i].SetBool(typed.Bool()); break;
                    case VT_I4: written = args[i].SetLong(typed.Long()); break;
                    case VT_R8: written = args[i].SetDouble(typed.Double()); break;
                    case VT_COLOR: written = args[i].SetColor(typed.Color()); break;
                    case VT_BSTR: written = args[i].SetString(typed.String()); break;
                    default: break;
                }
                if (written) answered.push_back(event.Params[i].Name + "=" + args[i].ToDisplayString());
            }
        }
    }
    if (!answered.empty()) {
        text += " -> ";
        for (std::size_t i = 0; i < answered.size(); ++i) text += (i ? ", " : "") + answered[i];
    }
    PrintLine(text);
}

// ---------------------------------------------------------------- the session

bool Session::Help(const Line&) {
    const std::string text = HelpText();
    std::lock_guard guard(PrintLock);
    std::fputs(text.c_str(), Out);
    std::fflush(Out);
    return true;
}

bool Session::QuitSession(const Line&) {
    Quit = true;
    return true;
}

bool Session::Echo(const Line& line) {
    std::string text;
    for (std::size_t i = 1; i < line.Tokens.size(); ++i) text += (i > 1 ? " " : "") + line.Tokens[i].Text;
    PrintLine(text);
    return true;
}

// ---------------------------------------------------------------- controls

bool Session::Create(const Line& line) {
    const auto& tokens = line.Tokens;
    if (tokens.size() != 2 && !(tokens.size() == 4 && LowerAscii(tokens[2].Text) == "as")) return UsageError(line);
    std::string name = tokens.size() == 4 ? tokens[3].Text : "c" + std::to_string(Created + 1);
    if (Find(name)) {
        Fail(line.Number, "a control is already called " + name);
        return false;
    }
    std::string error;
    auto control = HostedControl::Create(tokens[1].Text, &error);
    if (!control) {
        Fail(line.Number, error);
        return false;
    }
    Held held{name, std::move(control), 0, 0};
    HRESULT hr = held.Control->Connect(
        [this, name](const EventInfo& event, std::span<Variant> args) { OnEvent(name, event, args); }, held.Cookie);
    if (FAILED(hr)) {
        Fail(line.Number, "cannot listen to the control's events: " + DescribeResult(hr));
        return false;
    }
    const ClassRegistration& entry = held.Control->Class();
    PrintLine("created " + name + ": " + (entry.ProgId.empty() ? "" : entry.ProgId + " ") + entry.Clsid.ToString() +
              (entry.TypeName.empty() ? "" : " \"" + entry.TypeName + "\""));
    Controls.push_back(std::move(held));
    CurrentName = name;
    ++Created;
    return true;
}

bool Session::Use(const Line& line) {
    if (line.Tokens.size() != 2) return UsageError(line);
    if (!Find(line.Tokens[1].Text)) {
        Fail(line.Number, "no control is called " + line.Tokens[1].Text);
        return false;
    }
    CurrentName = line.Tokens[1].Text;
    return true;
}

bool Session::ListControls(const Line&) {
    if (Controls.empty()) {
        PrintLine("no controls");
        return true;
    }
    for (const Held& held : Controls) {
        std::string text = (held.Name == CurrentName ? "* " : "  ") + held.Name + " " +
                           (held.Control->Class().ProgId.empty() ? held.Control->Class().Clsid.ToString()
                                                                 : held.Control->Class().ProgId);
        if (HWND window = held.Control->Window()) {
            RECT rect{};
            GetClientRect(window, &rect);
            text += " (active, " + std::to_string(rect.right) + "x" + std::to_string(rect.bottom) + ")";
        }
        PrintLine(text);
    }
    return true;
}

bool Session::Release(const Line& line) {
    if (line.Tokens.size() > 2) return UsageError(line);
    std::string name = line.Tokens.size() == 2 ? line.Tokens[1].Text : CurrentName;
    auto it = std::find_if(Controls.begin(), Controls.end(), [&](const Held& h) { return h.Name == name; });
    if (it == Controls.end()) {
        Fail(line.Number, name.empty() ? "no control to release" : "no control is called " + name);
        return false;
    }
    it->Control.reset();
    if (it->Container) DestroyWindow(it->Container);
    Controls.erase(it);
    {
        std::lock_guard guard(PrintLock);
        Fired.erase(name);
    }
    if (name == CurrentName) CurrentName = Controls.empty() ? "" : Controls.back().Name;
    PrintLine("released " + name);
    return true;
}

// ---------------------------------------------------------------- members and events

bool Session::Members(const Line& line) { return ListMembers(false, line.Number); }
bool Session::Events(const Line& line) { return ListMembers(true, line.Number); }

bool Session::ListMembers(bool events, int lineNumber) {
    Held* held = Current(lineNumber);
    if (!held) return false;
    std::optional<InterfaceDescription> described;
    std::string source;
    if (const ClassTypeInfo* info = held->Control->TypeInfo()) {
        if (events && info->Events) {
            described = *info->Events;
        } else if (!events) {
            described = info->Dispatch;
        }
        source = info->LibraryName;
    }
    if (!described) {
        IControl* control = held->Control->Control();
        described = events ? DescribeInterface(IID{}, "events", "", control->GetEventTable())
                           : DescribeInterface(IID{}, "members", "", control->GetDispatchTable());
        source = "the control's own tables; no type information is registered";
    }
    PrintLine(described->Name + " (" + source + ")" +
              (described->HelpString.empty() ? "" : ": " + described->HelpString));
    for (const MemberDescription& member : described->Members) PrintLine("  " + member.ToText());
    return true;
}

bool Session::Call(const Line& line) {
    const auto& tokens = line.Tokens;
    if (tokens.size() < 2) return UsageError(line);
    Held* held = Current(line.Number);
    if (!held) return false;
    DISPID id = 0;
    if (FAILED(held->Control->Resolve(tokens[1].Text, id))) {
        Fail(line.Number, "the control has no member \"" + tokens[1].Text + "\"");
        return false;
    }
    MemberDescription scratch;
    const MemberDescription* member = DescribeMember(*held, id, scratch);
    References storage;
    std::vector<Variant> args;
    std::vector<std::size_t> byReference;
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        std::size_t index = i - 2;
        if (token.Quoted || token.Text.empty() || token.Text.front() != '&') {
            args.push_back(Literal(token));
            continue;
        }
        // A by-reference argument of the declared type, holding the value given.
        VARTYPE type = member && index < member->Params.size() ? member->Params[index].Type : VT_EMPTY;
        if ((type & VT_BYREF) == 0) {
            Fail(line.Number,
                 "argument " + std::to_string(index + 1) + " of " + tokens[1].Text + " is not passed by reference");
            return false;
        }
        VARTYPE base = type & VT_TYPEMASK;
        Variant initial;
        Token valueToken{token.Text.substr(1), false};
        if (!valueToken.Text.empty() && FAILED(ChangeType(Literal(valueToken), base, initial))) {
            Fail(line.Number, "\"" + valueToken.Text + "\" is no " + std::string(TypeName(base)));
            return false;
        }
        switch (base) {
            case VT_BOOL:
                storage.Longs.push_back(initial.IsEmpty() ? FALSE : initial.Bool());
                args.push_back(Variant::MakeBoolRef(&storage.Longs.back()));
                break;
            case VT_I4:
                storage.Longs.push_back(initial.Long());
                args.push_back(Variant(&storage.Longs.back()));
                break;
            case VT_R8:
                storage.Doubles.push_back(initial.Double());
                args.push_back(Variant(&storage.Doubles.back()));
                break;
            case VT_COLOR:
                storage.Colours.push_back(initial.Color());
                args.push_back(Variant(&storage.Colours.back()));
                break;
            default:
                storage.Strings.push_back(initial.String());
                args.push_back(Variant(&storage.Strings.back()));
                break;
        }
        byReference.push_back(index);
    }
    Variant result;
    DispatchError error;
    if (!Succeeded(line, held->Control->Control()->Invoke(id, InvokeKind::Method, args, &result, &error), error)) {
        return false;
    }
    PrintLine(result.IsEmpty() ? "ok" : "= " + result.ToDisplayString());
    for (std::size_t index : byReference) {
        std::string name = member && index < member->Params.size() ? member->Params[index].Name
                                                                   : "argument " + std::to_string(index + 1);
        PrintLine("  " + name + " = " + args[index].ToDisplayString());
    }
    return true;
}

bool Session::Get(const Line& line) {
    Held* held = CurrentFor(line, 2);
    if (!held) return false;
    const std::string& property = line.Tokens[1].Text;
    Variant value;
    DispatchError error;
    if (!Succeeded(line, held->Control->Get(property, value, &error), error)) return false;
    PrintLine(property + " = " + value.ToDisplayString());
    return true;
}

bool Session::Set(const Line& line) {
    Held* held = CurrentFor(line, 3);
    if (!held) return false;
    DispatchError error;
    return Succeeded(line, held->Control->Set(line.Tokens[1].Text, Literal(line.Tokens[2]), &error), error);
}

bool Session::Answer(const Line& line) {
    const auto& tokens = line.Tokens;
    if (tokens.size() < 2) return UsageError(line);
    const EventInfo* event = nullptr;
    if (Held* held = Find(CurrentName)) {
        event = held->Control->Control()->GetEventTable().FindByName(tokens[1].Text);
        if (!event) {
            Fail(line.Number, "the control has no event \"" + tokens[1].Text + "\"");
            return false;
        }
    }
    std::map<std::string, std::string> values;
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        auto equals = tokens[i].Text.find('=');
        if (equals == std::string::npos || equals == 0) {
            Fail(line.Number, "an answer is PARAM=VALUE, not \"" + tokens[i].Text + "\"");
            return false;
        }
        std::string param = tokens[i].Text.substr(0, equals);
        if (event) {
            auto it = std::find_if(event->Params.begin(), event->Params.end(),
                                   [&](const ParamInfo& p) { return EqualsNoCase(p.Name, param); });
            if (it == event->Params.end() || (it->Type & VT_BYREF) == 0) {
                Fail(line.Number, event->Name + " has no by-reference parameter \"" + param + "\"");
                return false;
            }
        }
        values[LowerAscii(param)] = tokens[i].Text.substr(equals + 1);
    }
    std::lock_guard guard(PrintLock);
    if (values.empty()) {
        Answers.erase(LowerAscii(tokens[1].Text));
    } else {
        Answers[LowerAscii(tokens[1].Text)] = std::move(values);
    }
    return true;
}

bool Session::Wait(const Line& line) {
    const auto& tokens = line.Tokens;
    int count = 0, ms = kDefaultWaitMs;
    if (tokens.size() < 3 || tokens.size() > 4 || !ParseCount(tokens[2].Text, 0, 1000000, count) ||
        (tokens.size() == 4 && !ParseCount(tokens[3].Text, 0, static_cast<int>(kLongestPump.count()), ms))) {
        return UsageError(line);
    }
    Held* held = Current(line.Number);
    if (!held) return false;
    const EventInfo* event = held->Control->Control()->GetEventTable().FindByName(tokens[1].Text);
    if (!event) {
        Fail(line.Number, "the control has no event \"" + tokens[1].Text + "\"");
        return false;
    }
    const std::string name = held->Name;
    const std::string key = LowerAscii(event->Name);
    auto fired = [&] {
        std::lock_guard guard(PrintLock);
        return Fired[name][key];
    };
    if (!PumpMessagesUntil([&] { return fired() >= count; }, std::chrono::milliseconds(ms))) {
        Fail(line.Number, event->Name + " fired " + std::to_string(fired()) + " times in " + std::to_string(ms) +
                              " ms, not " + std::to_string(count));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the window

bool Session::Activate(const Line& line) {
    const auto& tokens = line.Tokens;
    int width = 0, height = 0;
    if (tokens.size() != 3 || !ParseCount(tokens[1].Text, 1, kLargestWindow, width) ||
        !ParseCount(tokens[2].Text, 1, kLargestWindow, height)) {
        return UsageError(line, "1 to " + std::to_string(kLargestWindow) + " pixels");
    }
    Held* held = Current(line.Number);
    if (!held) return false;
    if (!held->Container) {
        held->Container = CreateContainerWindow(width, height, held->Name.c_str());
        if (!held->Container) {
            Fail(line.Number, "cannot make a window to activate the control in");
            return false;
        }
    } else {
        SetWindowPos(held->Container, 0, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
    }
    HRESULT hr = held->Control->Activate(held->Container, RECT{0, 0, width, height});
    if (FAILED(hr)) {
        Fail(line.Number, "the control refused activation: " + DescribeResult(hr));
        return false;
    }
    PumpMessages(kSettle);
    PrintLine("activated " + held->Name + " in a " + std::to_string(width) + "x" + std::to_string(height) + " window");
    return true;
}

bool Session::Deactivate(const Line& line) {
    Held* held = Current(line.Number);
    if (!held) return false;
    HRESULT hr = held->Control->Deactivate();
    if (FAILED(hr)) Fail(line.Number, "deactivation failed: " + DescribeResult(hr));
    return SUCCEEDED(hr);
}

namespace {

// The stand-in of another program's window: the control in it fills it.
LRESULT EmbeddingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SIZE) {
        if (auto* control = reinterpret_cast<HostedControl*>(GetWindowLongPtr(window, GWLP_USERDATA)))
            control->Activate(window, RECT{0, 0, LOWORD(static_cast<std::uintptr_t>(lParam)),
                                           HIWORD(static_cast<std::uintptr_t>(lParam))});
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

bool Session::Embed(const Line& line) {
    const auto& tokens = line.Tokens;
    unsigned long long id = 0;
    const std::string& text = tokens.size() == 2 ? tokens[1].Text : std::string();
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), id, hex ? 16 : 10);
    if (tokens.size() != 2 || text.empty() || ec != std::errc() || end != text.data() + text.size() || id == 0)
        return UsageError(line, "an X window id, 12345 or 0x3a00007");
    Held* held = Current(line.Number);
    if (!held) return false;
    if (held->Control->Window()) {
        Fail(line.Number, held->Name + " is active already: deactivate it first");
        return false;
    }
    const HWND frame = host::AttachForeignWindow(id);
    if (!frame) {
        Fail(line.Number, GetLastError() == ERROR_NOT_SUPPORTED
                              ? std::string("there is no display to find X windows on (start with --display)")
                              : Hex(id) + " is not a window of the display");
        return false;
    }
    RECT client{};
    GetClientRect(frame, &client);
    const HRESULT hr = held->Control->Activate(frame, client);
    if (FAILED(hr)) {
        DestroyWindow(frame);
        Fail(line.Number, "the control refused activation: " + DescribeResult(hr));
        return false;
    }
    SetWindowLongPtr(frame, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(held->Control.get()));
    SetWindowLongPtr(frame, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EmbeddingProc));
    if (held->Container) DestroyWindow(held->Container);
    held->Container = frame;
    PumpMessages(kSettle);
    PrintLine("activated " + held->Name + " in X window " + Hex(id) + " (" + std::to_string(client.right) + "x" +
              std::to_string(client.bottom) + ")");
    return true;
}

bool Session::Click(const Line& line) {
    const auto& tokens = line.Tokens;
    int x = 0, y = 0;
    if (tokens.size() != 3 || !ParseCount(tokens[1].Text, -32768, 32767, x) ||
        !ParseCount(tokens[2].Text, -32768, 32767, y)) {
        return UsageError(line);
    }
    Held* held = Current(line.Number);
    if (!held) return false;
    HWND window = held->Control->Window();
    if (!window) {
        Fail(line.Number, held->Name + " is not active: activate it first");
        return false;
    }
    if (!host::Click(window, x, y)) {
        Fail(line.Number, "the click at " + std::to_string(x) + "," + std::to_string(y) + " reached no window");
        return false;
    }
    PumpMessages(kSettle);
    return true;
}

bool Session::Pump(const Line& line) {
    int ms = 0;
    if (line.Tokens.size() != 2 || !ParseCount(line.Tokens[1].Text, 0, static_cast<int>(kLongestPump.count()), ms)) {
        return UsageError(line, "up to " + std::to_string(kLongestPump.count()));
    }
    PumpMessages(std::chrono::milliseconds(ms));
    return true;
}

bool Session::Screenshot(const Line& line) {
    if (line.Tokens.size() != 2) return UsageError(line);
    const std::string& file = line.Tokens[1].Text;
    PumpMessages(kSettle);  // let a pending repaint land first
    const Image screen = host::CaptureScreen();
    std::string error;
    if (!screen.SavePng(file, &error)) {
        Fail(line.Number, error);
        return false;
    }
    PrintLine("wrote " + file + " (" + std::to_string(screen.Width()) + "x" + std::to_string(screen.Height()) + ")");
    return true;
}

bool Session::Png(const Line& line) {
    Held* held = CurrentFor(line, 2);
    if (!held) return false;
    const std::string& file = line.Tokens[1].Text;
    HWND window = held->Control->Window();
    if (!window) {
        Fail(line.Number, held->Name + " is not active: activate it first");
        return false;
    }
    PumpMessages(kSettle);  // let a pending repaint land first
    std::string error;
    if (!host::CaptureWindow(window).SavePng(file, &error)) {
        Fail(line.Number, error);
        return false;
    }
    RECT rect{};
    GetClientRect(window, &rect);
    PrintLine("wrote " + file + " (" + std::to_string(rect.right) + "x" + std::to_string(rect.bottom) + ")");
    return true;
}

bool Session::Verb(const Line& line) {
    if (line.Tokens.size() < 2 || line.Tokens.size() > 3 || LowerAscii(line.Tokens[1].Text) != "properties") {
        return UsageError(line);
    }
    Held* held = Current(line.Number);
    if (!held) return false;
    std::vector<ShownPage> pages;
    std::string error;
    if (FAILED(held->Control->ShowProperties(&pages, &error))) {
        Fail(line.Number, error);
        return false;
    }
    bool written = true;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const ShownPage& page = pages[i];
        PrintLine("page \"" + page.Info.Title + "\" (dialog " + std::to_string(page.Info.DialogId) + ") " +
                  page.Clsid.ToString());
        if (line.Tokens.size() < 3) continue;
        std::string path = line.Tokens[2].Text;
        if (i > 0) {
            // page.png, page-2.png, ...: the number goes before the extension.
            const std::size_t dot = path.rfind('.');
            const std::size_t slash = path.rfind('/');
            const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
            path.insert(extension ? dot : path.size(), "-" + std::to_string(i + 1));
        }
        std::string why;
        if (!page.Picture.SavePng(path, &why)) {
            Fail(line.Number, why);
            written = false;
            continue;
        }
        PrintLine("wrote " + path + " (" + std::to_string(page.Picture.Width()) + "x" +
                  std::to_string(page.Picture.Height()) + ")");
    }
    return written;
}

// ---------------------------------------------------------------- saved properties

bool Session::Save(const Line& line) {
    Held* held = CurrentFor(line, 2);
    if (!held) return false;
    const std::string& file = line.Tokens[1].Text;
    std::string error;
    if (!held->Control->SavePropertiesFile(file, &error)) {
        Fail(line.Number, error);
        return false;
    }
    PrintLine("saved " + held->Name + " to " + file);
    return true;
}

bool Session::Load(const Line& line) {
    Held* held = CurrentFor(line, 2);
    if (!held) return false;
    const std::string& file = line.Tokens[1].Text;
    std::string error;
    std::vector<std::string> issues;
    bool loaded = held->Control->LoadPropertiesFile(file, &issues, &error);
    {
        std::lock_guard guard(PrintLock);
        std::fflush(Out);
        for (const auto& issue : issues) std::fprintf(Err, "warning: %s\n", issue.c_str());
        std::fflush(Err);
    }
    if (!loaded) {
        Fail(line.Number, error);
        return false;
    }
    PrintLine("loaded " + held->Name + " from " + file +
              (issues.empty() ? "" : " (" + std::to_string(issues.size()) + " entries skipped or defaulted)"));
    return true;
}
