#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
    bool Execute(std::string_view line, int lineNumber);
    bool QuitRequested() const noexcept { return Quit; }

    // Prints a line to the output; any thread.
    void PrintLine(const std::string& text);

    static const char* HelpText();

private:
    struct Token {
        std::string Text;
        bool Quoted = false;
    };
    struct Held {
        std::string Name;
        std::unique_ptr<platform::HostedControl> Control;
        platform::HWND Container = 0;
        platform::DWORD Cookie = 0;
    };
    // Storage for by-reference arguments of one call; pointers stay put.
    struct References;

    static bool Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& problem);
    static platform::Variant Literal(const Token& token);

    void Fail(int lineNumber, const std::string& text);
    Held* Current(int lineNumber);
    Held* Find(std::string_view name);
    const platform::MemberDescription* DescribeMember(Held& held, platform::DISPID id,
                                                      platform::MemberDescription& scratch);
    void OnEvent(const std::string& controlName, const platform::EventInfo& event,
                 std::span<platform::Variant> args);

    bool Create(const std::vector<Token>& tokens, int lineNumber);
    bool ListMembers(bool events, int lineNumber);
    bool Call(const std::vector<Token>& tokens, int lineNumber);
    bool Get(const std::vector<Token>& tokens, int lineNumber);
    bool Set(const std::vector<Token>& tokens, int lineNumber);
    bool Answer(const std::vector<Token>& tokens, int lineNumber);
    bool Activate(const std::vector<Token>& tokens, int lineNumber);
    bool Click(const std::vector<Token>& tokens, int lineNumber);
    bool Pump(const std::vector<Token>& tokens, int lineNumber);
    bool Wait(const std::vector<Token>& tokens, int lineNumber);
    bool SaveOrLoad(const std::vector<Token>& tokens, bool save, int lineNumber);
    bool Png(const std::vector<Token>& tokens, int lineNumber);
    bool Verb(const std::vector<Token>& tokens, int lineNumber);
    bool Release(const std::vector<Token>& tokens, int lineNumber);
    bool Use(const std::vector<Token>& tokens, int lineNumber);
    void ListControls();

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
