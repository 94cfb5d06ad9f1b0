#include "tools/orvalis-play/OrvalisPlay.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/orvalis-play/PlayOptions.h"

namespace {

struct Result {
    int Status;
    std::string Out;
    std::string Err;
};

Result RunTool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int status = orvalis_play::RunOrvalisPlay(args, out, err);
    return {status, out.str(), err.str()};
}

TEST(OrvalisPlay, ListsTheDevicesWithTheirNumbers) {
    Result r = RunTool({"--list-ports"});
    EXPECT_EQ(r.Status, 0);
    // System ports, where there are any, follow from number 2 on.
    EXPECT_EQ(r.Out.rfind("   0  Software synthesizer (default)\n"
                          "   1  Capture\n",
                          0),
              0u)
        << r.Out;
    EXPECT_EQ(r.Err, "");
}

TEST(OrvalisPlay, HelpDescribesEveryOptionAndTheDevices) {
    Result r = RunTool({"--help"});
    EXPECT_EQ(r.Status, 0);
    for (const auto& spec : orvalis_play::OptionTable()) {
        EXPECT_NE(r.Out.find(spec.Long), std::string::npos) << spec.Long;
    }
    EXPECT_NE(r.Out.find("capture"), std::string::npos);
    EXPECT_EQ(RunTool({"-h"}).Out, r.Out);
}

TEST(OrvalisPlay, ABadCommandLineIsAUsageErrorThatSaysWhat) {
    struct Case {
        std::vector<std::string> Args;
        std::string Says;
    };
    for (const Case& c : std::vector<Case>{
             {{"--bogus"}, "unknown option --bogus"},
             {{"--list-ports=yes"}, "--list-ports takes no value"},
             {{}, "nothing to do"},
         }) {
        Result r = RunTool(c.Args);
        EXPECT_EQ(r.Status, orvalis_play::kExitUsage);
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
        EXPECT_EQ(r.Out, "");
    }
}

TEST(PlayOptions, SeparatesFilesFromOptions) {
    auto parsed = orvalis_play::ParsePlayOptions({"a.mid", "--list-ports", "--", "--b.mid", "-"});
    EXPECT_EQ(parsed.Error, "");
    EXPECT_TRUE(parsed.Options.ListPorts);
    EXPECT_EQ(parsed.Options.Files, (std::vector<std::string>{"a.mid", "--b.mid", "-"}));
}

}  // namespace
