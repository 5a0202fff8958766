#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/program_options.hpp>

/// A TCP port to connect to or to be dialled on: 1 to 65535, decimal digits only.
struct TcpPort
{
    /// The port number.
    uint16_t value = 0;
};

/// A TCP port to listen on: 0 to 65535, where 0 picks a free port.
struct ListenPort
{
    /// The port number; 0 for any free port.
    uint16_t value = 0;
};

/// Lets boost.program_options read a TcpPort; a bad value is an invalid_option_value.
void validate(boost::any& value, const std::vector<std::string>& texts, TcpPort*, int);
/// Lets boost.program_options read a ListenPort; a bad value is an invalid_option_value.
void validate(boost::any& value, const std::vector<std::string>& texts, ListenPort*, int);

/// The command line of one of the tools, read with boost.program_options. Every tool answers
/// --help on stdout and, for an unknown option or a bad value, prints the reason and the usage on
/// stderr and exits with status 2.
class CommandLine
{
public:
    /// program names the tool in messages; usage is the synopsis printed above the options.
    CommandLine(const std::string& program, const std::string& usage);

    /// Reads a port number: decimal digits only, at most 65535, and not 0 unless allowZero.
    static bool ReadPort(const std::string& text, bool allowZero, uint16_t& port);

    /// Parses args (without the program name) into values. Returns nothing when the tool should
    /// go on; 0 after printing the help; 2 after printing the error. values is then incomplete.
    std::optional<int> Parse(const std::vector<std::string>& args, boost::program_options::variables_map& values);

    /// The named options; --help is already there.
    boost::program_options::options_description options;
    /// Options read but not listed by --help: where positional words are stored.
    boost::program_options::options_description hidden;
    /// Where the words that are not options go; none by default.
    boost::program_options::positional_options_description positional;
    /// When set, the first word that is not an option or an option's value ends the options: it
    /// and everything after it go to words, even words that start with '-'.
    bool wordsEndOptions = false;
    /// The words after the options, when wordsEndOptions is set.
    std::vector<std::string> words;

private:
    /// The tool's name, as it starts each error line.
    std::string program;
    /// The synopsis.
    std::string usage;
};
