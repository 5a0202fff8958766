// The simulator's state lines and control commands.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/NvrSimulator.h"
#include "sim/SimState.h"
#include "sim/SimWords.h"

using zonvrsim::NvrSimulator;
using zonvrsim::SimSoftTrigger;
using zonvrsim::SimState;
using zonvrsim::SimWords;

TEST(UnitSimWords, QuotedWordsSurviveTheRoundTrip)
{
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SimWords::Split("  camera 17\t\"Front \\\"door\\\"\" \"\" end", words, error));
    EXPECT_EQ(words, (std::vector<std::string>{"camera", "17", "Front \"door\"", "", "end"}));
    std::string odd = "a \"b\" \\ c";
    ASSERT_TRUE(SimWords::Split(SimWords::Quote(odd), words, error));
    EXPECT_EQ(words, std::vector<std::string>{odd});
    EXPECT_FALSE(SimWords::Split("camera 1 \"open", words, error));

    unsigned u = 0;
    int i = 0;
    EXPECT_TRUE(SimWords::ToU32("4294967295", u));
    EXPECT_EQ(u, 4294967295u);
    EXPECT_FALSE(SimWords::ToU32("4294967296", u));
    EXPECT_FALSE(SimWords::ToU32("12a", u));
    EXPECT_FALSE(SimWords::ToU32("", u));
    EXPECT_TRUE(SimWords::ToI32("-2147483648", i));
    EXPECT_EQ(i, -2147483647 - 1);
    EXPECT_FALSE(SimWords::ToI32("2147483648", i));
}

TEST(UnitSimState, StateLinesAreReadAndListedBackTheSameWay)
{
    SimState state;
    std::string error;
    const std::vector<std::string> lines = {
        "camera 7 \"Yard\"",
        "camera 17 \"Lobby\" \"rtsp://127.0.0.5:554/stream\"",
        "trigger 5 \"Tolvex Control\" \"TOLVEX_17\"",
        "association 17 \"TOLVEX_17\" 5 6",
        "link 3 5 \"Door alarm\"",
    };
    for (const auto& l : lines)
        ASSERT_TRUE(state.ApplyLine(l, error)) << l << ": " << error;
    EXPECT_TRUE(state.ApplyLine("# a comment", error));
    EXPECT_TRUE(state.ApplyLine("", error));
    std::vector<std::string> listed;
    std::vector<std::string> all;
    for (const char* kind : {"cameras", "triggers", "associations", "links"}) {
        ASSERT_TRUE(state.List(kind, listed));
        all.insert(all.end(), listed.begin(), listed.end());
    }
    EXPECT_EQ(all, lines);
    EXPECT_FALSE(state.List("nothing", listed));
    EXPECT_EQ(state.associations.at(17).entries.at(1).field[1], 2u) << "positions count from 1";

    for (const char* bad : {"camera 0 \"Zero\"", "camera x \"X\"", "trigger 5 \"only name\"", "association 17 \"A\" x",
                            "link 3", "frobnicate", "camera 1 \"open"}) {
        error.clear();
        EXPECT_FALSE(state.ApplyLine(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_FALSE(state.LoadFile("/nonexistent/zonvr-state", error));
}

TEST(ComponentSimControl, CommandsChangeTheStateAndAnswerOkOrErr)
{
    NvrSimulator sim;
    EXPECT_EQ(sim.Execute("camera add 17 \"Lobby\" rtsp://127.0.0.5:554/stream"), "OK\n");
    EXPECT_EQ(sim.Execute("camera rename 17 \"Lobby East\""), "OK\n");
    EXPECT_EQ(sim.Execute("camera rename 18 X"), "ERR no camera 18\n");
    EXPECT_EQ(sim.Execute("trigger add 0 \"Tolvex Control\" TOLVEX_17"), "trigger 1\nOK\n");
    EXPECT_EQ(sim.Execute("association set 17 TOLVEX_17 1"), "OK\n");
    EXPECT_EQ(sim.Execute("link add 3 1 \"Door\""), "OK\n");
    EXPECT_EQ(sim.Execute("list cameras"), "camera 17 \"Lobby East\" \"rtsp://127.0.0.5:554/stream\"\nOK\n");
    EXPECT_EQ(sim.Execute("list associations"), "association 17 \"TOLVEX_17\" 1\nOK\n");
    EXPECT_EQ(sim.Execute("list links"), "link 3 1 \"Door\"\nOK\n");
    EXPECT_EQ(sim.Execute("list clients"), "clients 0\nOK\n");
    EXPECT_EQ(sim.Execute("fire 1 1"), "OK\n");
    EXPECT_EQ(sim.Execute("fire 2 1"), "ERR no trigger 2\n");
    EXPECT_EQ(sim.Execute("refuse trigger 17"), "OK\n");
    EXPECT_EQ(sim.Execute("refuse association -3"), "OK\n");
    EXPECT_EQ(sim.Execute("refuse login on"), "OK\n");
    EXPECT_EQ(sim.Execute("delay 250"), "OK\n");
    EXPECT_EQ(sim.Execute("delay -1"), "ERR unknown command (see docs/zonvr-sim.md)\n");
    EXPECT_EQ(sim.Execute("camera remove 17"), "OK\n");
    EXPECT_EQ(sim.Execute("list cameras"), "OK\n");
    EXPECT_EQ(sim.Execute(""), "ERR empty command\n");
    SimState state = sim.Snapshot();
    EXPECT_EQ(state.refuseTriggerCode, 17);
    EXPECT_EQ(state.refuseAssociationCode, -3);
    EXPECT_TRUE(state.refuseLogins);
    EXPECT_EQ(sim.AckDelay(), 250);
}

TEST(ComponentSimControl, NewTriggerIdsNeverWrapToZero)
{
    NvrSimulator sim;
    EXPECT_EQ(sim.Execute("trigger add 4294967295 Last G1"), "trigger 4294967295\nOK\n");
    EXPECT_EQ(sim.Execute("trigger add 1 First G2"), "trigger 1\nOK\n");
    EXPECT_EQ(sim.Execute("trigger add 0 Next G3"), "trigger 2\nOK\n");
    EXPECT_EQ(sim.Execute("trigger add 0 Then G4"), "trigger 3\nOK\n");
    // Every listed trigger loads back from a state file.
    SimState reloaded;
    std::vector<std::string> listed;
    ASSERT_TRUE(sim.Snapshot().List("triggers", listed));
    std::string error;
    for (const auto& line : listed)
        EXPECT_TRUE(reloaded.ApplyLine(line, error)) << line << ": " << error;
    EXPECT_EQ(reloaded.triggers.size(), 4u);
}
