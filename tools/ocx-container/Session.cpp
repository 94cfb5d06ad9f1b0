#include "Session.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <limits>
#include <list>
#include <optional>

#include "platform/notice/notice.h"
#include "platform/window/host.h"

using namespace platform;

namespace {

constexpr std::chrono::milliseconds kLongestPump{600000};
// Long enough for the posted mouse messages and the repaint they cause.
constexpr std::chrono::milliseconds kSettle{50};
constexpr int kLargestWindow = 4096;

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool ParseInt(std::string_view text, long long& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseCount(const std::string& text, int low, int high, int& value) {
    long long parsed = 0;
    if (!ParseInt(text, parsed) || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

// What a failed call says: the control's own description, else the code's.
std::string FailureText(HRESULT hr, const DispatchError& error) {
    return error.Description.empty() ? DescribeResult(hr) : error.Description;
}

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

const char* Session::HelpText() {
    return "Commands (one a line; # starts a comment):\n"
           "  create PROGID|{CLSID} [as NAME]  create a control (it becomes the current one)\n"
           "  use NAME                         make another control the current one\n"
           "  controls                         list the controls held\n"
           "  members | events                 list the current control's members or events\n"
           "  call METHOD [ARG...]             call a method; ARG is 42, 0xFF, 1.5, true, \"text\",\n"
           "                                   a bare word (text), or & / &VALUE for a by-reference\n"
           "                                   parameter (its value is shown after the call)\n"
           "  get PROPERTY | set PROPERTY VALUE\n"
           "  answer EVENT [PARAM=VALUE...]    set by-reference parameters of EVENT when it fires\n"
           "                                   (no assignments: stop answering it)\n"
           "  activate WIDTH HEIGHT            show the control in a window of that size\n"
           "  deactivate                       take its window away again\n"
           "  click X Y                        a left click at (X, Y) in the control's window\n"
           "  pump MS                          handle window messages for MS milliseconds\n"
           "  wait EVENT COUNT [MS]            handle messages until EVENT has fired COUNT times\n"
           "                                   in all (MS: give up after that long, 10000)\n"
           "  save FILE | load FILE            save or load the control's properties\n"
           "  png FILE                         write a picture of the control's window\n"
           "  verb properties                  show the control's property pages\n"
           "  release [NAME]                   release a control\n"
           "  echo TEXT                        print TEXT\n"
           "  help | quit\n"
           "Events print as they fire: event NAME.EVENT(PARAM=VALUE, ...).\n";
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

bool Session::Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& problem) {
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token token;
        if (line[i] == '"') {
            token.Quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    char escaped = line[i++];
                    token.Text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
                } else {
                    token.Text += c;
                }
            }
            if (!closed) {
                problem = "a quoted text has no closing quote";
                return false;
            }
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
                token.Text += line[i++];
            }
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

Variant Session::Literal(const Token& token) {
    if (token.Quoted) return Variant(token.Text);
    std::string lower = Lower(token.Text);
    if (lower == "true") return Variant(true);
    if (lower == "false") return Variant(false);
    std::string_view digits = token.Text;
    bool negative = !digits.empty() && (digits.front() == '-' || digits.front() == '+');
    if (negative) digits.remove_prefix(1);
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        unsigned long long hex = 0;
        auto body = digits.substr(2);
        auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), hex, 16);
        if (ec == std::errc() && end == body.data() + body.size()) {
            bool minus = token.Text.front() == '-';
            if (!minus && hex > 0x7FFFFFFFull && hex <= 0xFFFFFFFFull) {
                return Variant::MakeColor(static_cast<OLE_COLOR>(hex));  // colours are written so
            }
            if (hex <= 0x80000000ull) {
                long long value = minus ? -static_cast<long long>(hex) : static_cast<long long>(hex);
                if (value >= std::numeric_limits<std::int32_t>::min() &&
                    value <= std::numeric_limits<std::int32_t>::max()) {
                    return Variant(static_cast<std::int32_t>(value));
                }
            }
            return Variant(minus ? -static_cast<double>(hex) : static_cast<double>(hex));
        }
    }
    long long integer = 0;
    std::string_view whole = token.Text;
    if (!whole.empty() && whole.front() == '+') whole.remove_prefix(1);
    if (ParseInt(whole, integer)) {
        if (integer >= std::numeric_limits<std::int32_t>::min() &&
            integer <= std::numeric_limits<std::int32_t>::max()) {
            return Variant(static_cast<std::int32_t>(integer));
        }
        return Variant(static_cast<double>(integer));
    }
    double real = 0;
    auto [end, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), real);
    if (!whole.empty() && ec == std::errc() && end == whole.data() + whole.size()) return Variant(real);
    return Variant(token.Text);
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
        ++Fired[controlName][Lower(event.Name)];
        auto found = Answers.find(Lower(event.Name));
        if (found != Answers.end()) {
            for (std::size_t i = 0; i < args.size() && i < event.Params.size(); ++i) {
                auto value = found->second.find(Lower(event.Params[i].Name));
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

bool Session::Execute(std::string_view line, int lineNumber) {
    try {
        std::vector<Token> tokens;
        std::string problem;
        if (!Tokenize(line, tokens, problem)) {
            Fail(lineNumber, problem);
            return false;
        }
        if (tokens.empty()) return true;
        const std::string command = Lower(tokens[0].Text);
        if (command == "help" || command == "?") {
            std::lock_guard guard(PrintLock);
            std::fputs(HelpText(), Out);
            std::fflush(Out);
            return true;
        }
        if (command == "quit" || command == "exit") {
            Quit = true;
            return true;
        }
        if (command == "echo") {
            std::string text;
            for (std::size_t i = 1; i < tokens.size(); ++i) text += (i > 1 ? " " : "") + tokens[i].Text;
            PrintLine(text);
            return true;
        }
        if (command == "create") return Create(tokens, lineNumber);
        if (command == "controls") {
            ListControls();
            return true;
        }
        if (command == "use") return Use(tokens, lineNumber);
        if (command == "members") return ListMembers(false, lineNumber);
        if (command == "events") return ListMembers(true, lineNumber);
        if (command == "call") return Call(tokens, lineNumber);
        if (command == "get") return Get(tokens, lineNumber);
        if (command == "set") return Set(tokens, lineNumber);
        if (command == "answer") return Answer(tokens, lineNumber);
        if (command == "activate") return Activate(tokens, lineNumber);
        if (command == "deactivate") {
            Held* held = Current(lineNumber);
            if (!held) return false;
            HRESULT hr = held->Control->Deactivate();
            if (FAILED(hr)) Fail(lineNumber, "deactivation failed: " + DescribeResult(hr));
            return SUCCEEDED(hr);
        }
        if (command == "click") return Click(tokens, lineNumber);
        if (command == "pump") return Pump(tokens, lineNumber);
        if (command == "wait") return Wait(tokens, lineNumber);
        if (command == "save") return SaveOrLoad(tokens, true, lineNumber);
        if (command == "load") return SaveOrLoad(tokens, false, lineNumber);
        if (command == "png") return Png(tokens, lineNumber);
        if (command == "verb") return Verb(tokens, lineNumber);
        if (command == "release") return Release(tokens, lineNumber);
        Fail(lineNumber, "unknown command \"" + tokens[0].Text + "\" (try help)");
        return false;
    } catch (const std::exception& e) {
        Fail(lineNumber, std::string("the command failed: ") + e.what());
        return false;
    }
}

bool Session::Create(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() != 2 && !(tokens.size() == 4 && Lower(tokens[2].Text) == "as")) {
        Fail(lineNumber, "usage: create PROGID|{CLSID} [as NAME]");
        return false;
    }
    std::string name = tokens.size() == 4 ? tokens[3].Text : "c" + std::to_string(Created + 1);
    if (Find(name)) {
        Fail(lineNumber, "a control is already called " + name);
        return false;
    }
    std::string error;
    auto control = HostedControl::Create(tokens[1].Text, &error);
    if (!control) {
        Fail(lineNumber, error);
        return false;
    }
    Held held{name, std::move(control), 0, 0};
    HRESULT hr = held.Control->Connect(
        [this, name](const EventInfo& event, std::span<Variant> args) { OnEvent(name, event, args); },
        held.Cookie);
    if (FAILED(hr)) {
        Fail(lineNumber, "cannot listen to the control's events: " + DescribeResult(hr));
        return false;
    }
    const ClassRegistration& entry = held.Control->Class();
    PrintLine("created " + name + ": " + (entry.ProgId.empty() ? "" : entry.ProgId + " ") +
              entry.Clsid.ToString() + (entry.TypeName.empty() ? "" : " \"" + entry.TypeName + "\""));
    Controls.push_back(std::move(held));
    CurrentName = name;
    ++Created;
    return true;
}

void Session::ListControls() {
    if (Controls.empty()) {
        PrintLine("no controls");
        return;
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
}

bool Session::Use(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() != 2) {
        Fail(lineNumber, "usage: use NAME");
        return false;
    }
    if (!Find(tokens[1].Text)) {
        Fail(lineNumber, "no control is called " + tokens[1].Text);
        return false;
    }
    CurrentName = tokens[1].Text;
    return true;
}

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

bool Session::Call(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() < 2) {
        Fail(lineNumber, "usage: call METHOD [ARG...]");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    DISPID id = 0;
    if (FAILED(held->Control->Resolve(tokens[1].Text, id))) {
        Fail(lineNumber, "the control has no member \"" + tokens[1].Text + "\"");
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
            Fail(lineNumber, "argument " + std::to_string(index + 1) + " of " + tokens[1].Text +
                                 " is not passed by reference");
            return false;
        }
        VARTYPE base = type & VT_TYPEMASK;
        Variant initial;
        Token valueToken{token.Text.substr(1), false};
        if (!valueToken.Text.empty() && FAILED(ChangeType(Literal(valueToken), base, initial))) {
            Fail(lineNumber, "\"" + valueToken.Text + "\" is no " + std::string(TypeName(base)));
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
    HRESULT hr = held->Control->Control()->Invoke(id, InvokeKind::Method, args, &result, &error);
    if (FAILED(hr)) {
        Fail(lineNumber, FailureText(hr, error));
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

bool Session::Get(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() != 2) {
        Fail(lineNumber, "usage: get PROPERTY");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    Variant value;
    DispatchError error;
    HRESULT hr = held->Control->Get(tokens[1].Text, value, &error);
    if (FAILED(hr)) {
        Fail(lineNumber, FailureText(hr, error));
        return false;
    }
    PrintLine(tokens[1].Text + " = " + value.ToDisplayString());
    return true;
}

bool Session::Set(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() != 3) {
        Fail(lineNumber, "usage: set PROPERTY VALUE");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    DispatchError error;
    HRESULT hr = held->Control->Set(tokens[1].Text, Literal(tokens[2]), &error);
    if (FAILED(hr)) {
        Fail(lineNumber, FailureText(hr, error));
        return false;
    }
    return true;
}

bool Session::Answer(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() < 2) {
        Fail(lineNumber, "usage: answer EVENT [PARAM=VALUE...]");
        return false;
    }
    const EventInfo* event = nullptr;
    if (Held* held = Find(CurrentName)) {
        event = held->Control->Control()->GetEventTable().FindByName(tokens[1].Text);
        if (!event) {
            Fail(lineNumber, "the control has no event \"" + tokens[1].Text + "\"");
            return false;
        }
    }
    std::map<std::string, std::string> values;
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        auto equals = tokens[i].Text.find('=');
        if (equals == std::string::npos || equals == 0) {
            Fail(lineNumber, "an answer is PARAM=VALUE, not \"" + tokens[i].Text + "\"");
            return false;
        }
        std::string param = tokens[i].Text.substr(0, equals);
        if (event) {
            auto it = std::find_if(event->Params.begin(), event->Params.end(),
                                   [&](const ParamInfo& p) { return Lower(p.Name) == Lower(param); });
            if (it == event->Params.end() || (it->Type & VT_BYREF) == 0) {
                Fail(lineNumber, event->Name + " has no by-reference parameter \"" + param + "\"");
                return false;
            }
        }
        values[Lower(param)] = tokens[i].Text.substr(equals + 1);
    }
    std::lock_guard guard(PrintLock);
    if (values.empty()) {
        Answers.erase(Lower(tokens[1].Text));
    } else {
        Answers[Lower(tokens[1].Text)] = std::move(values);
    }
    return true;
}

bool Session::Activate(const std::vector<Token>& tokens, int lineNumber) {
    int width = 0, height = 0;
    if (tokens.size() != 3 || !ParseCount(tokens[1].Text, 1, kLargestWindow, width) ||
        !ParseCount(tokens[2].Text, 1, kLargestWindow, height)) {
        Fail(lineNumber, "usage: activate WIDTH HEIGHT (1 to " + std::to_string(kLargestWindow) + " pixels)");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    if (!held->Container) {
        held->Container = CreateContainerWindow(width, height, held->Name.c_str());
        if (!held->Container) {
            Fail(lineNumber, "cannot make a window to activate the control in");
            return false;
        }
    } else {
        SetWindowPos(held->Container, 0, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
    }
    HRESULT hr = held->Control->Activate(held->Container, RECT{0, 0, width, height});
    if (FAILED(hr)) {
        Fail(lineNumber, "the control refused activation: " + DescribeResult(hr));
        return false;
    }
    PumpMessages(kSettle);
    PrintLine("activated " + held->Name + " in a " + std::to_string(width) + "x" + std::to_string(height) +
              " window");
    return true;
}

bool Session::Click(const std::vector<Token>& tokens, int lineNumber) {
    int x = 0, y = 0;
    if (tokens.size() != 3 || !ParseCount(tokens[1].Text, -32768, 32767, x) ||
        !ParseCount(tokens[2].Text, -32768, 32767, y)) {
        Fail(lineNumber, "usage: click X Y");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    HWND window = held->Control->Window();
    if (!window) {
        Fail(lineNumber, held->Name + " is not active: activate it first");
        return false;
    }
    if (!host::Click(window, x, y)) {
        Fail(lineNumber, "the click at " + std::to_string(x) + "," + std::to_string(y) + " reached no window");
        return false;
    }
    PumpMessages(kSettle);
    return true;
}

bool Session::Pump(const std::vector<Token>& tokens, int lineNumber) {
    int ms = 0;
    if (tokens.size() != 2 || !ParseCount(tokens[1].Text, 0, static_cast<int>(kLongestPump.count()), ms)) {
        Fail(lineNumber, "usage: pump MILLISECONDS (up to " + std::to_string(kLongestPump.count()) + ")");
        return false;
    }
    PumpMessages(std::chrono::milliseconds(ms));
    return true;
}

bool Session::Wait(const std::vector<Token>& tokens, int lineNumber) {
    int count = 0, ms = 10000;
    if (tokens.size() < 3 || tokens.size() > 4 || !ParseCount(tokens[2].Text, 0, 1000000, count) ||
        (tokens.size() == 4 &&
         !ParseCount(tokens[3].Text, 0, static_cast<int>(kLongestPump.count()), ms))) {
        Fail(lineNumber, "usage: wait EVENT COUNT [MILLISECONDS]");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    const EventInfo* event = held->Control->Control()->GetEventTable().FindByName(tokens[1].Text);
    if (!event) {
        Fail(lineNumber, "the control has no event \"" + tokens[1].Text + "\"");
        return false;
    }
    const std::string name = held->Name;
    const std::string key = Lower(event->Name);
    auto fired = [&] {
        std::lock_guard guard(PrintLock);
        return Fired[name][key];
    };
    if (!PumpMessagesUntil([&] { return fired() >= count; }, std::chrono::milliseconds(ms))) {
        Fail(lineNumber, event->Name + " fired " + std::to_string(fired()) + " times in " + std::to_string(ms) +
                             " ms, not " + std::to_string(count));
        return false;
    }
    return true;
}

bool Session::SaveOrLoad(const std::vector<Token>& tokens, bool save, int lineNumber) {
    if (tokens.size() != 2) {
        Fail(lineNumber, save ? "usage: save FILE" : "usage: load FILE");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    std::string error;
    if (save) {
        if (!held->Control->SavePropertiesFile(tokens[1].Text, &error)) {
            Fail(lineNumber, error);
            return false;
        }
        PrintLine("saved " + held->Name + " to " + tokens[1].Text);
        return true;
    }
    std::vector<std::string> issues;
    bool loaded = held->Control->LoadPropertiesFile(tokens[1].Text, &issues, &error);
    {
        std::lock_guard guard(PrintLock);
        std::fflush(Out);
        for (const auto& issue : issues) std::fprintf(Err, "warning: %s\n", issue.c_str());
        std::fflush(Err);
    }
    if (!loaded) {
        Fail(lineNumber, error);
        return false;
    }
    PrintLine("loaded " + held->Name + " from " + tokens[1].Text +
              (issues.empty() ? "" : " (" + std::to_string(issues.size()) + " entries skipped or defaulted)"));
    return true;
}

bool Session::Png(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() != 2) {
        Fail(lineNumber, "usage: png FILE");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    HWND window = held->Control->Window();
    if (!window) {
        Fail(lineNumber, held->Name + " is not active: activate it first");
        return false;
    }
    PumpMessages(kSettle);  // let a pending repaint land first
    if (!host::SaveWindowPng(window, tokens[1].Text)) {
        Fail(lineNumber, "cannot write " + tokens[1].Text);
        return false;
    }
    RECT rect{};
    GetClientRect(window, &rect);
    PrintLine("wrote " + tokens[1].Text + " (" + std::to_string(rect.right) + "x" + std::to_string(rect.bottom) + ")");
    return true;
}

bool Session::Verb(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() != 2 || Lower(tokens[1].Text) != "properties") {
        Fail(lineNumber, "usage: verb properties");
        return false;
    }
    Held* held = Current(lineNumber);
    if (!held) return false;
    std::vector<ShownPage> pages;
    std::string error;
    if (FAILED(held->Control->ShowProperties(&pages, &error))) {
        Fail(lineNumber, error);
        return false;
    }
    for (const ShownPage& page : pages) {
        PrintLine("page \"" + page.Info.Title + "\" (dialog " + std::to_string(page.Info.DialogId) + ") " +
                  page.Clsid.ToString());
    }
    return true;
}

bool Session::Release(const std::vector<Token>& tokens, int lineNumber) {
    if (tokens.size() > 2) {
        Fail(lineNumber, "usage: release [NAME]");
        return false;
    }
    std::string name = tokens.size() == 2 ? tokens[1].Text : CurrentName;
    auto it = std::find_if(Controls.begin(), Controls.end(), [&](const Held& h) { return h.Name == name; });
    if (it == Controls.end()) {
        Fail(lineNumber, name.empty() ? "no control to release" : "no control is called " + name);
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
