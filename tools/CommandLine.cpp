#include "CommandLine.h"

#include <iostream>

namespace po = boost::program_options;

namespace
{

template <typename Port>
void ValidatePort(boost::any& value, const std::vector<std::string>& texts, bool allowZero)
{
    po::validators::check_first_occurrence(value);
    Port port;
    if (!CommandLine::ReadPort(po::validators::get_single_string(texts), allowZero, port.value))
        throw po::invalid_option_value(texts.front());
    value = port;
}

} // namespace

void validate(boost::any& value, const std::vector<std::string>& texts, TcpPort*, int)
{
    ValidatePort<TcpPort>(value, texts, false);
}

void validate(boost::any& value, const std::vector<std::string>& texts, ListenPort*, int)
{
    ValidatePort<ListenPort>(value, texts, true);
}

CommandLine::CommandLine(const std::string& program, const std::string& usage)
    : options("options"), program(program), usage(usage)
{
    options.add_options()("help", "show this help and exit");
}

bool CommandLine::ReadPort(const std::string& text, bool allowZero, uint16_t& port)
{
    // Only digits: a sign or a trailing letter is a mistake, not a number to be read partly.
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long number = std::stoul(text);
    if (number > 65535 || (number == 0 && !allowZero))
        return false;
    port = static_cast<uint16_t>(number);
    return true;
}

std::optional<int> CommandLine::Parse(const std::vector<std::string>& args, po::variables_map& values)
{
    po::options_description all;
    all.add(options).add(hidden);
    // A sub-command's words reach it as typed, even those that start with '-': the options end at
    // the first word that is neither an option nor the value of one, or at "--".
    std::vector<std::string> head = args;
    if (wordsEndOptions)
    {
        for (std::size_t i = 0; i < args.size(); ++i)
        {
            const std::string& arg = args[i];
            if (arg.empty() || arg[0] != '-' || arg == "--")
            {
                head.assign(args.begin(), args.begin() + i);
                words.assign(args.begin() + i + (arg == "--" ? 1 : 0), args.end());
                break;
            }
            const std::size_t equals = arg.find('=');
            const po::option_description* option =
                arg.compare(0, 2, "--") == 0 ? all.find_nothrow(arg.substr(2, equals - 2), false) : nullptr;
            if (option != nullptr && equals == std::string::npos && option->semantic()->max_tokens() > 0)
                ++i;
        }
    }
    po::command_line_parser parser(head);
    parser.options(all).positional(positional);
    try
    {
        po::store(parser.run(), values);
        if (values.count("help"))
        {
            std::cout << "usage: " << usage << "\n" << options;
            return 0;
        }
        po::notify(values);
    }
    catch (const po::error& error)
    {
        std::cerr << program << ": " << error.what() << "\nusage: " << usage << "\nTry '" << program
                  << " --help' for more.\n";
        return 2;
    }
    return std::nullopt;
}
