// Feeds arbitrary bytes to the test container's script reader as a script:
// lines, words and the values they stand for. A crash, a sanitizer report or
// a line, word list or text beyond the reader's bounds is a find.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ScriptReader.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "script fuzz: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    for (;;) {
        const ocx_container::LineStatus status = ocx_container::ReadScriptLine(in, line);
        if (status == ocx_container::LineStatus::End) break;
        if (status == ocx_container::LineStatus::TooLong) {
            if (!line.empty()) Fail("a line too long is kept");
            continue;
        }
        if (line.size() > ocx_container::kMaxLineBytes || line.find('\n') != std::string::npos) {
            Fail("a line beyond its bounds");
        }
        std::vector<ocx_container::Token> tokens;
        std::string problem;
        if (!ocx_container::Tokenize(line, tokens, problem)) {
            if (problem.empty()) Fail("a refusal without a reason");
            continue;
        }
        if (tokens.size() > ocx_container::kMaxWords) Fail("more words than the bound");
        for (const ocx_container::Token& token : tokens) {
            if (token.Text.find('\0') != std::string::npos) Fail("a NUL inside a word");
            ocx_container::Literal(token).ToDisplayString();
            int count = 0;
            ocx_container::ParseCount(token.Text, -32768, 32767, count);
        }
    }
    return 0;
}
