#pragma once

#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

struct ShellResult {
    int exitCode = 0;
    std::string output;
};

// A program of the virtual host: arguments (argv[0] first) and standard input.
using ShellProgram =
    std::function<ShellResult(const std::vector<std::string>& argv, const std::string& input)>;

// The system shell of the virtual host. Understands sequences (; && ||),
// pipes, $(...) substitution, quotes, output redirections and a trailing &.
// Every command line is recorded; unknown programs fail with 127.
class VirtualShell {
public:
    using Resolver = std::function<std::string(const std::string&)>;

    VirtualShell();

    void setResolver(Resolver resolver) { resolve_ = std::move(resolver); }

    // A scripted answer for every command line that the ECMAScript regex
    // pattern finds a match in. The newest script wins; scripts come before
    // programs.
    void script(const std::string& pattern, int exitCode, const std::string& output = "");
    void clearScripts() { scripts_.clear(); }

    void addProgram(const std::string& name, ShellProgram program);
    // The program name also answers to alias (a full path, say).
    void addAlias(const std::string& alias, const std::string& name);
    bool hasProgram(const std::string& name) const { return programs_.count(name) != 0; }
    // A program that answers to its name in any directory ("/any/dir/name").
    void addProgramInEveryDirectory(const std::string& name, ShellProgram program);

    ShellResult run(const std::string& commandLine);

    // What reset goes back to: the programs and scripts there are now.
    void markInitial();
    // The programs and scripts of the mark, and no command run yet.
    void reset();

    const std::vector<std::string>& commands() const { return commands_; }
    void clearCommands() { commands_.clear(); }
    // Recorded command lines that contain text.
    std::vector<std::string> commandsContaining(const std::string& text) const;

private:
    struct Script {
        std::string pattern;
        std::regex compiled;
        ShellResult result;
    };

    std::string substitute(const std::string& line);
    ShellResult runSequence(const std::string& line);
    ShellResult runPipeline(const std::string& pipeline);
    ShellResult runSimple(const std::string& command, const std::string& input);
    void addBuiltins();
    const ShellProgram* programFor(const std::string& name) const;

    Resolver resolve_;
    std::vector<Script> scripts_;
    std::map<std::string, ShellProgram> programs_;
    std::map<std::string, ShellProgram> everywhere_;
    std::vector<std::string> commands_;
    struct Initial {
        std::vector<Script> scripts;
        std::map<std::string, ShellProgram> programs;
        std::map<std::string, ShellProgram> everywhere;
    };
    Initial initial_;
};
