// Fuzz target: the simulator's control lines (`zonvr-sim ctl`) and its state-file lines, which
// share one word splitter. The input is split at line feeds, as the control connection splits
// what it reads; each line is run as a control command on a simulator that serves nothing, and
// applied as a state line to a separate state. Checked for every input:
//   - each answer is zero or more lines and then "OK" or "ERR <reason>";
//   - every word of a line survives quoting: splitting the quoted word gives the word back;
//   - what `list` prints loads back as a state file and lists the same again.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "sim/NvrSimulator.h"
#include "sim/SimState.h"
#include "sim/SimWords.h"

namespace {

using zonvrsim::SimState;
using zonvrsim::SimWords;

/// A finding: says which property broke and stops the run, so libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "sim_control: %s\n", what.c_str());
    std::abort();
}

/// The answer's last line must be "OK" or start with "ERR ", and every line must end in a line feed.
void CheckAnswer(const std::string& line, const std::string& answer)
{
    if (answer.empty() || answer.back() != '\n')
        Fail("answer to '" + line + "' does not end with a line feed");
    const std::size_t start = answer.find_last_of('\n', answer.size() - 2);
    const std::string last = answer.substr(start == std::string::npos ? 0 : start + 1);
    if (last != "OK\n" && last.compare(0, 4, "ERR ") != 0)
        Fail("answer to '" + line + "' ends with neither OK nor ERR: " + last);
}

/// Every word of line, quoted and split again, must come back unchanged and alone.
void CheckQuoting(const std::string& line)
{
    std::vector<std::string> words;
    std::string error;
    if (!SimWords::Split(line, words, error))
        return;
    for (const std::string& word : words)
    {
        std::vector<std::string> again;
        if (!SimWords::Split(SimWords::Quote(word), again, error) || again.size() != 1 || again[0] != word)
            Fail("the word '" + word + "' does not survive quoting");
    }
}

/// The kinds of item that `list` prints as state lines.
const char* const kListedKinds[] = {"users", "cameras", "triggers", "associations", "links"};

/// All items of state as state lines.
std::vector<std::string> ListAll(const SimState& state)
{
    std::vector<std::string> all;
    for (const char* kind : kListedKinds)
    {
        std::vector<std::string> lines;
        state.List(kind, lines);
        all.insert(all.end(), lines.begin(), lines.end());
    }
    return all;
}

/// What state lists must load as a state file into an empty state that lists the same lines.
void CheckListingReloads(const SimState& state)
{
    const std::vector<std::string> listed = ListAll(state);
    SimState reloaded;
    for (const std::string& line : listed)
    {
        std::string error;
        if (!reloaded.ApplyLine(line, error))
            Fail("the listed line '" + line + "' does not load back: " + error);
    }
    if (ListAll(reloaded) != listed)
        Fail("a state loaded from a listing lists something else");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    // Never started: commands change its state, and the events they would send to clients wait
    // on a loop that never runs and go with the simulator.
    zonvrsim::NvrSimulator simulator;
    SimState fileState;
    while (!input.Empty())
    {
        const std::string line = input.TakeLine();
        CheckAnswer(line, simulator.Execute(line));
        CheckQuoting(line);
        std::string error;
        fileState.ApplyLine(line, error);
    }
    CheckListingReloads(simulator.Snapshot());
    CheckListingReloads(fileState);
    return 0;
}
