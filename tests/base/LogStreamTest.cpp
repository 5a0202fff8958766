// The log: line format, rotation by size, whole lines under concurrency, and the fall-backs
// that keep a logging call from ever hurting the service.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/LogStream.h"

namespace
{

class UnitLogStream : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zotolvex-log-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = std::string(pattern) + "/";
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(0, std::system(command.c_str()));
    }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(dir + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void Write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(dir + name, std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string dir;
};

const std::regex kLine(R"(\[ \d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d\d \d\d:\d\d:\d\d \] (.*))");

} // namespace

TEST_F(UnitLogStream, LinesCarryTheTimestampPrefixAndAppendToAnEarlierFile)
{
    Write("zoTolvex.log", "earlier run\n");
    {
        LogStream log(dir);
        log.BeginLine() << "Reading config file " << dir << "zoTolvex.xml";
        log.BeginLine() << "number " << 42 << ' ' << -1;
    }
    std::istringstream lines(Read("zoTolvex.log"));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ("earlier run", line);
    std::smatch match;
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
    EXPECT_EQ("Reading config file " + dir + "zoTolvex.xml", match[2].str());
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
    EXPECT_EQ("number 42 -1", match[2].str());
    EXPECT_FALSE(std::getline(lines, line));
}

TEST_F(UnitLogStream, ALargeEarlierFileRotatesAtTheSecondLineReplacingTheOldGeneration)
{
    Write("zoTolvex.log.old", "generation before\n");
    Write("zoTolvex.log", std::string(1048577, 'e'));
    LogStream log(dir);
    log.BeginLine() << "first line after opening";
    EXPECT_EQ("generation before\n", Read("zoTolvex.log.old")) << "the first line never rotates";

    log.BeginLine() << "starts the new file";
    const std::string old = Read("zoTolvex.log.old");
    EXPECT_EQ(0u, old.find(std::string(1048577, 'e')));
    EXPECT_NE(std::string::npos, old.find("] first line after opening\n"));
    EXPECT_EQ(std::string::npos, old.find("generation before"));
    const std::string fresh = Read("zoTolvex.log");
    std::smatch match;
    const std::string firstLine = fresh.substr(0, fresh.find('\n'));
    ASSERT_TRUE(std::regex_match(firstLine, match, kLine));
    EXPECT_EQ("starts the new file", match[2].str());
    EXPECT_EQ(fresh.size(), firstLine.size() + 1);
}

TEST_F(UnitLogStream, ExactlyOneMebibyteDoesNotRotateButOneByteMoreDoes)
{
    LogStream log(dir);
    log.BeginLine() << "x";
    const std::size_t oneLine = Read("zoTolvex.log").size();
    // Fill with lines written through the log until the position is exactly 1048576.
    std::size_t size = oneLine;
    while (size + 1000 < 1048576)
    {
        log.BeginLine() << std::string(1000 - oneLine + 1, 'a');
        size = Read("zoTolvex.log").size();
    }
    const std::size_t rest = 1048576 - size;
    ASSERT_GT(rest, oneLine);
    log.BeginLine() << std::string(rest - oneLine + 1, 'b');
    ASSERT_EQ(1048576u, Read("zoTolvex.log").size());
    log.BeginLine() << "at exactly the bound";
    EXPECT_NE(std::string::npos, Read("zoTolvex.log").find("at exactly the bound"));
    EXPECT_TRUE(Read("zoTolvex.log.old").empty());

    log.BeginLine() << "above the bound now";
    EXPECT_NE(std::string::npos, Read("zoTolvex.log.old").find("at exactly the bound"));
    EXPECT_EQ(0u, Read("zoTolvex.log").find("[ "));
    EXPECT_NE(std::string::npos, Read("zoTolvex.log").find("above the bound now"));
}

TEST_F(UnitLogStream, FailedRotationGoesOnInTheCurrentFile)
{
    // An old path that is a non-empty directory can be neither removed nor replaced.
    ASSERT_EQ(0, mkdir((dir + "zoTolvex.log.old").c_str(), 0755));
    Write("zoTolvex.log.old/keep", "x");
    Write("zoTolvex.log", std::string(1048577, 'z'));
    LogStream log(dir);
    EXPECT_NO_THROW(log.BeginLine() << "one");
    EXPECT_NO_THROW(log.BeginLine() << "two");
    EXPECT_NO_THROW(log.BeginLine() << "three");
    const std::string text = Read("zoTolvex.log");
    EXPECT_EQ(0u, text.find(std::string(1048577, 'z')));
    EXPECT_NE(std::string::npos, text.find("] two\n"));
    EXPECT_NE(std::string::npos, text.find("] three\n"));
}

TEST_F(UnitLogStream, AFailedStreamIsReopenedAndAMissingDirectoryNeverThrows)
{
    // Writes to /dev/full fail as a full disk would.
    ASSERT_EQ(0, symlink("/dev/full", (dir + "zoTolvex.log").c_str()));
    LogStream log(dir);
    EXPECT_NO_THROW(log.BeginLine() << "lost to a full disk");
    ASSERT_EQ(0, unlink((dir + "zoTolvex.log").c_str()));
    log.BeginLine() << "the disk has room again";
    EXPECT_NE(std::string::npos, Read("zoTolvex.log").find("] the disk has room again\n"));

    LogStream nowhere(dir + "missing/");
    EXPECT_NO_THROW(nowhere.BeginLine() << "goes to standard error");
}

/// Each of threads writers logs perThread lines "thread T line I FILLER" to log at once.
void LogFromThreads(LogStream& log, int threads, int perThread, const std::function<std::string(int, int)>& filler)
{
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                log.BeginLine() << "thread " << t << " line " << i << ' ' << filler(t, i);
        });
    for (auto& writer : writers)
        writer.join();
}

/// Checks that text holds only whole lines with their prefix, as LogFromThreads writes them, and
/// every thread's lines from the first to the last, in order, none missing.
void ExpectEveryThreadsLinesInOrder(const std::string& text, int threads, int perThread,
                                    const std::function<std::string(int, int)>& filler)
{
    std::istringstream lines(text);
    std::string line;
    std::vector<int> next(threads, 0);
    const std::regex body(R"(thread (\d) line (\d+) ([a-h]+))");
    while (std::getline(lines, line))
    {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
        const std::string message = match[2].str();
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(message, parts, body)) << message;
        const int t = std::stoi(parts[1].str());
        const int i = std::stoi(parts[2].str());
        EXPECT_EQ(next[t], i) << message;
        next[t] = i + 1;
        EXPECT_EQ(filler(t, i), parts[3].str());
    }
    EXPECT_EQ(std::vector<int>(threads, perThread), next);
}

TEST_F(UnitLogStream, LinesFromManyThreadsNeverInterleave)
{
    LogStream log(dir);
    auto filler = [](int t, int) { return std::string(64, char('a' + t)); };
    LogFromThreads(log, 8, 500, filler);
    ExpectEveryThreadsLinesInOrder(Read("zoTolvex.log"), 8, 500, filler);
}

TEST_F(UnitLogStream, FourThreadsLoggingAcrossARotationLeaveEveryLineWholeAndInOrder)
{
    // Lines of changing length, so that the rotation may fall anywhere in a line; about 1.5 MiB in
    // all, so the file rotates once while the threads write and no line leaves both files (a
    // second rotation would drop the first generation, with whatever one thread wrote there).
    LogStream log(dir);
    auto filler = [](int t, int i) { return std::string(40 + (i * 37) % 300, char('a' + t)); };
    LogFromThreads(log, 4, 1700, filler);

    const std::string old = Read("zoTolvex.log.old");
    const std::string current = Read("zoTolvex.log");
    // The old generation stopped at the first line begun above 1 MiB, and ends with a whole line.
    EXPECT_GT(old.size(), 1048576u);
    EXPECT_LT(old.size(), 1048576u + 400u);
    ASSERT_EQ('\n', old.back());
    EXPECT_EQ(0u, current.find("[ "));
    // Read across both files, each thread's lines follow one another with none missing.
    ExpectEveryThreadsLinesInOrder(old + current, 4, 1700, filler);
}
