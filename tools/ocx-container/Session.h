#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ScriptReader.h"
#include "platform/automation/container.h"

// One session of the test container: the controls it holds and the answers
// it gives to their events. Commands come one line at a time; each either
// succeeds or reports its error, and the session goes on either way.
class Session {
public:
    Session(std::FILE* out, std::FILE* err);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one command line. False when it failed (the error has been
    // printed with the line number).
    bool Execute(std::string_view text, int lineNumber);
    bool QuitRequested() const noexcept { return Quit; }
    // Reports a line that was not run, as Execute reports its errors.
    void Reject(int lineNumber, const std::string& text) { Fail(lineNumber, text); }

    // Prints a line to the output; any thread.
    void PrintLine(const std::string& text);

    // The commands with their arguments and what each does, from the command table.
    static std::string HelpText();

private:
    using Token = ocx_container::Token;
    struct Command;
    // One command line as its handler sees it; Tokens[0] is the command word.
    struct Line {
        const Command& Entry;
        const std::vector<Token>& Tokens;
        int Number;
    };
    // A row of the command table: everything about one command is written
    // there once, and help, usage errors and dispatch all come from it.
    struct Command {
        const char* Name;       // lower case; a command word matches it in any case
        const char* Alias;      // another word for it, not listed in help; or nullptr
        const char* Arguments;  // as help and usage errors show them after the name; "" for none
        const char* Help;       // lines after the first start with '\n'
        bool (Session::*Run)(const Line& line);
    };
    struct Held {
        std::string Name;
        std::unique_ptr<platform::HostedControl> Control;
        platform::HWND Container = 0;
        platform::DWORD Cookie = 0;
    };
    // Storage for by-reference arguments of one call; pointers stay put.
    struct References;

    static std::span<const Command> Commands();
    // The command's name and its arguments.
    static std::string Usage(const Command& command);

    void Fail(int lineNumber, const std::string& text);
    // Reports "usage: " and the command's usage, with note in brackets if any. False.
    bool UsageError(const Line& line, const std::string& note = {});
    // Reports a failed call: the control's own description, else the code's.
    bool Succeeded(const Line& line, platform::HRESULT hr, const platform::DispatchError& error);
    Held* Current(int lineNumber);
    // The current control for a command of exactly `words` words, the
    // command's own included; null, with the usage or the missing control
    // reported, otherwise.
    Held* CurrentFor(const Line& line, std::size_t words);
    Held* Find(std::string_view name);
    const platform::MemberDescription* DescribeMember(Held& held, platform::DISPID id,
                                                      platform::MemberDescription& scratch);
    void OnEvent(const std::string& controlName, const platform::EventInfo& event, std::span<platform::Variant> args);
    bool ListMembers(bool events, int lineNumber);

    // The command handlers, one per row of the table.
    bool Help(const Line& line);
    bool QuitSession(const Line& line);
    bool Echo(const Line& line);
    bool Create(const Line& line);
    bool Use(const Line& line);
    bool ListControls(const Line& line);
    bool Members(const Line& line);
    bool Events(const Line& line);
    bool Call(const Line& line);
    bool Get(const Line& line);
    bool Set(const Line& line);
    bool Answer(const Line& line);
    bool Activate(const Line& line);
    bool Embed(const Line& line);
    bool Deactivate(const Line& line);
    bool Click(const Line& line);
    bool Pump(const Line& line);
    bool Wait(const Line& line);
    bool Save(const Line& line);
    bool Load(const Line& line);
    bool Png(const Line& line);
    bool Screenshot(const Line& line);
    bool Verb(const Line& line);
    bool Release(const Line& line);

    std::FILE* Out;
    std::FILE* Err;
    std::mutex PrintLock;  // output lines and the answers, from any thread
    // Event name (lower case) -> parameter (lower case) -> value text.
    std::map<std::string, std::map<std::string, std::string>> Answers;  // guarded by PrintLock
    // Control name -> event name (lower case) -> times fired.
    std::map<std::string, std::map<std::string, int>> Fired;  // guarded by PrintLock
    bool Quit = false;
    int Created = 0;
    std::string CurrentName;
    std::vector<Held> Controls;  // last: released before the rest goes
};
