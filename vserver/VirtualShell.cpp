#include "vserver/VirtualShell.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

// Splits text at top-level separators (outside quotes). Each separator found
// is returned in ops, in order.
std::vector<std::string> splitTopLevel(const std::string& text,
                                       const std::vector<std::string>& separators,
                                       std::vector<std::string>* ops = nullptr) {
    std::vector<std::string> parts;
    std::string current;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == quote) {
                quote = 0;
            }
            current += c;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            current += c;
            continue;
        }
        bool matched = false;
        for (const auto& separator : separators) {
            if (text.compare(i, separator.size(), separator) != 0) {
                continue;
            }
            // "|" must not split "||"; "&" in "2>&1" is not a separator.
            if (separator == "|" &&
                (text.compare(i, 2, "||") == 0 || (i > 0 && text[i - 1] == '|'))) {
                continue;
            }
            parts.push_back(current);
            current.clear();
            if (ops) {
                ops->push_back(separator);
            }
            i += separator.size() - 1;
            matched = true;
            break;
        }
        if (!matched) {
            current += c;
        }
    }
    parts.push_back(current);
    return parts;
}

// "$?" stands for the exit status of the command before.
std::string withExitStatus(std::string text, int status) {
    for (std::size_t at = text.find("$?"); at != std::string::npos; at = text.find("$?", at)) {
        text.replace(at, 2, std::to_string(status));
    }
    return text;
}

std::string trim(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\n");
    if (begin == std::string::npos) {
        return "";
    }
    auto end = text.find_last_not_of(" \t\n");
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> tokenize(const std::string& command) {
    std::vector<std::string> tokens;
    std::string current;
    bool inToken = false;
    char quote = 0;
    for (char c : command) {
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else {
                current += c;
            }
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            inToken = true;
            continue;
        }
        if (c == ' ' || c == '\t') {
            if (inToken) {
                tokens.push_back(current);
                current.clear();
                inToken = false;
            }
            continue;
        }
        current += c;
        inToken = true;
    }
    if (inToken) {
        tokens.push_back(current);
    }
    return tokens;
}

struct Redirection {
    std::string target;
    bool append = false;
};

// Removes redirections from argv; returns where standard output goes.
Redirection takeRedirections(std::vector<std::string>& argv) {
    Redirection out;
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& token = argv[i];
        if (token == "2>&1" || token == "1>&2") {
            continue;
        }
        std::size_t at = token.find('>');
        bool isRedirect = at != std::string::npos &&
                          (at == 0 || (at == 1 && (token[0] == '1' || token[0] == '2')));
        if (!isRedirect) {
            kept.push_back(token);
            continue;
        }
        bool toStderr = at == 1 && token[0] == '2';
        bool append = token.compare(at, 2, ">>") == 0;
        std::string target = token.substr(at + (append ? 2 : 1));
        if (target.empty() && i + 1 < argv.size()) {
            target = argv[++i];
        }
        if (!toStderr) {
            out.target = target;
            out.append = append;
        }
    }
    argv = kept;
    return out;
}

bool readWholeFile(const std::string& path, std::string& content) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    content = text.str();
    return true;
}

bool isWordCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// grep's match of a pattern without special characters: as text, case-blind
// with -i, bounded by non-word characters with -w.
bool containsPlain(const std::string& line, const std::string& pattern, bool ignoreCase,
                   bool word) {
    auto same = [ignoreCase](char a, char b) {
        return ignoreCase ? std::tolower(static_cast<unsigned char>(a)) ==
                                std::tolower(static_cast<unsigned char>(b))
                          : a == b;
    };
    for (auto at = line.begin();; ++at) {
        at = std::search(at, line.end(), pattern.begin(), pattern.end(), same);
        if (at == line.end()) {
            return pattern.empty();
        }
        auto end = at + static_cast<std::ptrdiff_t>(pattern.size());
        if (!word || ((at == line.begin() || !isWordCharacter(*(at - 1))) &&
                      (end == line.end() || !isWordCharacter(*end)))) {
            return true;
        }
    }
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        result.push_back(line);
    }
    return result;
}

}  // namespace

VirtualShell::VirtualShell() : resolve_([](const std::string& path) { return path; }) {
    addBuiltins();
}

void VirtualShell::script(const std::string& pattern, int exitCode, const std::string& output) {
    scripts_.push_back({pattern, std::regex(pattern), {exitCode, output}});
}

void VirtualShell::markInitial() {
    initial_ = Initial{scripts_, programs_, everywhere_};
}

void VirtualShell::reset() {
    scripts_ = initial_.scripts;
    programs_ = initial_.programs;
    everywhere_ = initial_.everywhere;
    commands_.clear();
}

void VirtualShell::addProgram(const std::string& name, ShellProgram program) {
    programs_[name] = std::move(program);
}

void VirtualShell::addAlias(const std::string& alias, const std::string& name) {
    auto program = programs_.find(name);
    if (program != programs_.end()) {
        programs_[alias] = program->second;
    }
}

std::vector<std::string> VirtualShell::commandsContaining(const std::string& text) const {
    std::vector<std::string> found;
    for (const auto& command : commands_) {
        if (command.find(text) != std::string::npos) {
            found.push_back(command);
        }
    }
    return found;
}

ShellResult VirtualShell::run(const std::string& commandLine) {
    commands_.push_back(commandLine);
    for (auto it = scripts_.rbegin(); it != scripts_.rend(); ++it) {
        if (std::regex_search(commandLine, it->compiled)) {
            return it->result;
        }
    }
    std::string line = trim(substitute(commandLine));
    if (!line.empty() && line.back() == '&' && (line.size() < 2 || line[line.size() - 2] != '&')) {
        line.pop_back();  // background: the virtual host runs it to the end at once
    }
    return runSequence(line);
}

std::string VirtualShell::substitute(const std::string& line) {
    std::string result;
    std::size_t pos = 0;
    while (true) {
        std::size_t start = line.find("$(", pos);
        if (start == std::string::npos) {
            result += line.substr(pos);
            return result;
        }
        std::size_t end = line.find(')', start);
        if (end == std::string::npos) {
            result += line.substr(pos);
            return result;
        }
        result += line.substr(pos, start - pos);
        std::string output = runSequence(line.substr(start + 2, end - start - 2)).output;
        result += trim(output);
        pos = end + 1;
    }
}

ShellResult VirtualShell::runSequence(const std::string& line) {
    std::vector<std::string> ops;
    auto parts = splitTopLevel(line, {"&&", "||", ";"}, &ops);
    ShellResult last;
    std::string output;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            const std::string& op = ops[i - 1];
            if ((op == "&&" && last.exitCode != 0) || (op == "||" && last.exitCode == 0)) {
                continue;
            }
        }
        if (trim(parts[i]).empty()) {
            continue;
        }
        last = runPipeline(withExitStatus(parts[i], last.exitCode));
        output += last.output;
    }
    last.output = output;
    return last;
}

ShellResult VirtualShell::runPipeline(const std::string& pipeline) {
    ShellResult result;
    for (const auto& stage : splitTopLevel(pipeline, {"|"})) {
        result = runSimple(stage, result.output);
    }
    return result;
}

ShellResult VirtualShell::runSimple(const std::string& command, const std::string& input) {
    std::vector<std::string> argv = tokenize(command);
    Redirection redirection = takeRedirections(argv);
    if (argv.empty()) {
        return {};
    }
    const ShellProgram* program = programFor(argv[0]);
    ShellResult result = program == nullptr ? ShellResult{127, ""} : (*program)(argv, input);
    if (redirection.target.empty()) {
        return result;
    }
    if (redirection.target != "/dev/null") {
        std::ofstream file(resolve_(redirection.target),
                           redirection.append ? std::ios::app : std::ios::trunc);
        file << result.output;
    }
    result.output.clear();
    return result;
}

void VirtualShell::addProgramInEveryDirectory(const std::string& name, ShellProgram program) {
    everywhere_[name] = std::move(program);
}

const ShellProgram* VirtualShell::programFor(const std::string& name) const {
    auto program = programs_.find(name);
    if (program != programs_.end()) {
        return &program->second;
    }
    std::string::size_type slash = name.rfind('/');
    if (slash == std::string::npos) {
        return nullptr;
    }
    auto anywhere = everywhere_.find(name.substr(slash + 1));
    return anywhere == everywhere_.end() ? nullptr : &anywhere->second;
}

void VirtualShell::addBuiltins() {
    addProgram("true", [](const auto&, const auto&) { return ShellResult{0, ""}; });
    addProgram("false", [](const auto&, const auto&) { return ShellResult{1, ""}; });
    addProgram("echo", [](const std::vector<std::string>& argv, const std::string&) {
        std::string text;
        for (std::size_t i = 1; i < argv.size(); ++i) {
            text += (i > 1 ? " " : "") + argv[i];
        }
        return ShellResult{0, text + "\n"};
    });
    addProgram("cat", [this](const std::vector<std::string>& argv, const std::string& input) {
        if (argv.size() < 2) {
            return ShellResult{0, input};
        }
        ShellResult result;
        for (std::size_t i = 1; i < argv.size(); ++i) {
            std::string content;
            if (!readWholeFile(resolve_(argv[i]), content)) {
                result.exitCode = 1;
                continue;
            }
            result.output += content;
        }
        return result;
    });
    addProgram("grep", [this](const std::vector<std::string>& argv, const std::string& input) {
        bool ignoreCase = false, invert = false, quiet = false, count = false, word = false;
        std::vector<std::string> operands;
        for (std::size_t i = 1; i < argv.size(); ++i) {
            const std::string& arg = argv[i];
            if (arg.size() > 1 && arg[0] == '-') {
                for (char flag : arg.substr(1)) {
                    ignoreCase |= flag == 'i';
                    invert |= flag == 'v';
                    quiet |= flag == 'q';
                    count |= flag == 'c';
                    word |= flag == 'w';
                }
                continue;
            }
            operands.push_back(arg);
        }
        if (operands.empty()) {
            return ShellResult{2, ""};
        }
        std::string text = input;
        if (operands.size() > 1 && !readWholeFile(resolve_(operands[1]), text)) {
            return ShellResult{2, ""};
        }
        auto flags = std::regex::basic | (ignoreCase ? std::regex::icase : std::regex::basic);
        // A whole word: not preceded or followed by a letter, digit or '_'.
        std::string expression =
            word ? "(^|[^[:alnum:]_])" + operands[0] + "([^[:alnum:]_]|$)" : operands[0];
        // Most patterns are plain words, found without building a regex.
        bool plain = operands[0].find_first_of(".[]*^$\\+?(){}|") == std::string::npos;
        std::regex pattern;
        if (!plain) {
            pattern = std::regex(expression,
                                 word ? std::regex::extended | (flags & std::regex::icase) : flags);
        }
        auto matchesLine = [&](const std::string& line) {
            return plain ? containsPlain(line, operands[0], ignoreCase, word)
                         : std::regex_search(line, pattern);
        };
        ShellResult result{1, ""};
        int matches = 0;
        for (const auto& line : lines(text)) {
            if (matchesLine(line) != invert) {
                ++matches;
                result.exitCode = 0;
                if (!quiet && !count) {
                    result.output += line + "\n";
                }
            }
        }
        if (count && !quiet) {
            result.output = std::to_string(matches) + "\n";
        }
        return result;
    });
}
