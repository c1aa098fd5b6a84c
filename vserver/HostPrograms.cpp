#include "vserver/HostPrograms.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "vserver/VirtualServer.h"

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

struct Options {
    std::string flags;  // every letter of the leading -x options
    Args operands;
};

Options parseOptions(const Args& argv) {
    Options options;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-' && options.operands.empty()) {
            options.flags += arg.substr(1);
        } else {
            options.operands.push_back(arg);
        }
    }
    return options;
}

bool has(const Options& options, char flag) {
    return options.flags.find(flag) != std::string::npos;
}

ShellResult failure(int code, const std::string& message) {
    return ShellResult{code, message + "\n"};
}

// Operands whose last component holds a '*' match the entries of their
// directory, as the shell expands them; no match leaves the word as it is.
Args expandGlobs(VirtualServer& server, const Args& words) {
    Args expanded;
    for (const std::string& word : words) {
        std::size_t slash = word.rfind('/');
        if (word.find('*') == std::string::npos || slash == std::string::npos) {
            expanded.push_back(word);
            continue;
        }
        std::string directory = word.substr(0, slash + 1);
        std::string pattern = word.substr(slash + 1);
        std::vector<std::string> names;
        std::size_t before = expanded.size();
        if (server.listDirectory(directory, names)) {
            for (const std::string& name : names) {
                if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) {
                    expanded.push_back(directory + name);
                }
            }
        }
        if (expanded.size() == before) {
            expanded.push_back(word);
        }
    }
    return expanded;
}

bool isDirectory(VirtualServer& server, const std::string& path) {
    struct stat info {};
    return server.stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir(1): each directory with mkdir(2); with -p every missing one on the
// way, an existing directory (also through a link) being no error.
ShellResult makeDirectories(VirtualServer& server, const Args& argv) {
    Options options = parseOptions(argv);
    for (const std::string& path : options.operands) {
        std::vector<std::string> steps{path};
        if (has(options, 'p')) {
            steps.clear();
            for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
                 slash = path.find('/', slash + 1)) {
                steps.push_back(path.substr(0, slash));
            }
            steps.push_back(path);
        }
        for (const std::string& step : steps) {
            if (server.mkdir(step, 0755) == 0 ||
                (errno == EEXIST && has(options, 'p') && isDirectory(server, step))) {
                continue;
            }
            return failure(
                1, "mkdir: cannot create directory '" + path + "': " + std::strerror(errno));
        }
    }
    return {};
}

// ln -s[f] TARGET LINK; like ln(1), a LINK that names a directory (also
// through a link) gets the new link inside it.
ShellResult makeLink(VirtualServer& server, const Args& argv) {
    Options options = parseOptions(argv);
    if (!has(options, 's') || options.operands.size() != 2) {
        return failure(1, "ln: only symbolic links are known here");
    }
    const std::string& target = options.operands[0];
    std::string name = options.operands[1];
    if (isDirectory(server, name)) {
        name += "/" + fs::path(target).filename().string();
    }
    fs::path link = server.resolveEntry(name);
    std::error_code error;
    if (fs::symlink_status(link, error).type() != fs::file_type::not_found) {
        if (!has(options, 'f')) {
            return failure(1, "ln: failed to create symbolic link: File exists");
        }
        fs::remove(link, error);
    }
    fs::create_symlink(target, link, error);
    if (error) {
        return failure(1, "ln: failed to create symbolic link");
    }
    server.entryCreated(name);
    return {};
}

ShellResult removeFiles(VirtualServer& server, const Args& argv) {
    Options options = parseOptions(argv);
    bool recursive = has(options, 'r') || has(options, 'R');
    bool force = has(options, 'f');
    ShellResult result;
    for (const std::string& path : expandGlobs(server, options.operands)) {
        // rm(1) removes a link, never what it leads to.
        fs::path target = server.resolveEntry(path);
        std::error_code error;
        fs::file_status status = fs::symlink_status(target, error);
        if (status.type() == fs::file_type::not_found) {
            if (!force) {
                result = failure(1, "rm: cannot remove '" + path + "': No such file or directory");
            }
            continue;
        }
        if (status.type() == fs::file_type::directory && !recursive) {
            result = failure(1, "rm: cannot remove '" + path + "': Is a directory");
            continue;
        }
        fs::remove_all(target, error);
        if (error) {
            result = failure(1, "rm: cannot remove '" + path + "'");
        }
    }
    return result;
}

// cp(1) follows links in its operands, but does not write through a link
// that leads nowhere.
ShellResult copyFiles(VirtualServer& server, const Args& argv) {
    Options options = parseOptions(argv);
    if (options.operands.size() < 2) {
        return failure(1, "cp: missing destination file operand");
    }
    const std::string& destination = options.operands.back();
    bool intoDirectory = isDirectory(server, destination);
    for (std::size_t i = 0; i + 1 < options.operands.size(); ++i) {
        fs::path source = server.resolve(options.operands[i]);
        std::string name = destination;
        if (intoDirectory) {
            name += "/" + fs::path(options.operands[i]).filename().string();
        }
        std::error_code error;
        fs::path entry = server.resolveEntry(name);
        if (fs::is_symlink(fs::symlink_status(entry, error)) && !server.fileExists(name)) {
            return failure(1, "cp: not writing through dangling symlink '" + name + "'");
        }
        fs::copy_file(source, server.resolve(name), fs::copy_options::overwrite_existing, error);
        if (error) {
            return failure(1, "cp: cannot copy '" + options.operands[i] + "'");
        }
    }
    return {};
}

ShellResult changeMode(VirtualServer& server, const Args& argv) {
    Options options = parseOptions(argv);
    if (options.operands.size() < 2) {
        return failure(1, "chmod: missing operand");
    }
    char* end = nullptr;
    unsigned long bits = std::strtoul(options.operands[0].c_str(), &end, 8);
    if (options.operands[0].empty() || *end != '\0' || bits > 07777) {
        return failure(1, "chmod: invalid mode: '" + options.operands[0] + "'");
    }
    auto mode = static_cast<fs::perms>(bits);
    for (std::size_t i = 1; i < options.operands.size(); ++i) {
        std::error_code error;
        fs::permissions(server.resolve(options.operands[i]), mode, error);
        if (error) {
            return failure(1, "chmod: cannot access '" + options.operands[i] + "'");
        }
    }
    return {};
}

ShellResult listDirectory(VirtualServer& server, const Args& argv) {
    Options options = parseOptions(argv);
    std::string path = options.operands.empty() ? "." : options.operands[0];
    std::vector<std::string> names;
    if (!server.listDirectory(path, names)) {
        return failure(2, "ls: cannot access '" + path + "': No such file or directory");
    }
    std::sort(names.begin(), names.end());
    ShellResult result;
    for (const std::string& name : names) {
        result.output += name + "\n";
    }
    return result;
}

// The one sed script the plug-in runs: print the line before each line that
// matches the pattern ('/PATTERN/{g;1!p;};h').
ShellResult printLineBefore(const Args& argv, const std::string& input) {
    Options options = parseOptions(argv);
    const std::string suffix = "/{g;1!p;};h";
    if (options.operands.empty() || options.operands[0].size() < suffix.size() + 1 ||
        options.operands[0][0] != '/' ||
        options.operands[0].compare(options.operands[0].size() - suffix.size(), suffix.size(),
                                    suffix) != 0) {
        return failure(1, "sed: script not understood by the virtual host");
    }
    std::string pattern =
        options.operands[0].substr(1, options.operands[0].size() - suffix.size() - 1);
    std::istringstream lines(input);
    std::string line;
    std::string previous;
    bool first = true;
    ShellResult result;
    while (std::getline(lines, line)) {
        if (!first && line.find(pattern) != std::string::npos) {
            result.output += previous + "\n";
        }
        previous = line;
        first = false;
    }
    return result;
}

ShellResult halDaemon(HostServices& services, const Args& argv) {
    std::string action = argv.size() > 1 ? argv[1] : "";
    if (action == "start") {
        services.halDaemonRunning = true;
    } else if (action == "stop") {
        services.halDaemonRunning = false;
    } else if (action == "status") {
        return ShellResult{services.halDaemonRunning ? 0 : 3,
                           services.halDaemonRunning ? "haldaemon (pid 1408) is running...\n"
                                                     : "haldaemon is stopped\n"};
    } else {
        return failure(1, "Usage: haldaemon {start|stop|status}");
    }
    return {};
}

ShellResult processList(HostServices& services) {
    std::string list =
        "USER       PID %CPU %MEM    VSZ   RSS TTY      STAT START   TIME COMMAND\n"
        "root         1  0.0  0.1 167744 11904 ?        Ss   09:12   0:01 /sbin/init\n";
    if (services.usbArbitratorRunning) {
        list +=
            "root      2114  0.0  0.0  12044  3200 ?        S    09:12   0:00 "
            "/usr/lib/vmware/bin/vmware-usbarbitrator\n";
    }
    return ShellResult{0, list};
}

void addProgram(VirtualShell& shell, std::initializer_list<const char*> names,
                const ShellProgram& program) {
    for (const char* name : names) {
        shell.addProgram(name, program);
    }
}

}  // namespace

void addHostPrograms(VirtualServer& server, HostServices& services) {
    VirtualShell& shell = server.shell();
    VirtualServer* host = &server;
    HostServices* state = &services;
    auto ignoringInput = [host](ShellResult (*program)(VirtualServer&, const Args&)) {
        return
            [host, program](const Args& argv, const std::string&) { return program(*host, argv); };
    };
    addProgram(shell, {"mkdir", "/bin/mkdir"}, ignoringInput(makeDirectories));
    addProgram(shell, {"ln", "/bin/ln"}, ignoringInput(makeLink));
    addProgram(shell, {"rm", "/bin/rm"}, ignoringInput(removeFiles));
    addProgram(shell, {"cp", "/bin/cp"}, ignoringInput(copyFiles));
    addProgram(shell, {"chmod", "/bin/chmod"}, ignoringInput(changeMode));
    addProgram(shell, {"ls", "/bin/ls"}, ignoringInput(listDirectory));
    addProgram(shell, {"sed", "/bin/sed"}, [](const Args& argv, const std::string& input) {
        return printLineBefore(argv, input);
    });
    addProgram(shell, {"sync", "/bin/sync"},
               [](const Args&, const std::string&) { return ShellResult{}; });
    addProgram(shell, {"blockdev", "/sbin/blockdev"}, [](const Args&, const std::string&) {
        return ShellResult{0, "RO    RA   SSZ   BSZ   StartSec            Size   Device\n"};
    });
    addProgram(shell, {"udevadm", "/sbin/udevadm", "/sbin/udevcontrol"},
               [](const Args&, const std::string&) { return ShellResult{}; });
    addProgram(shell, {"/etc/init.d/haldaemon"},
               [state](const Args& argv, const std::string&) { return halDaemon(*state, argv); });
    addProgram(shell, {"ps", "/bin/ps"},
               [state](const Args&, const std::string&) { return processList(*state); });
    // ESXi mounts datastores itself; rescans and automounts just succeed.
    addProgram(shell, {"esxcli"}, [](const Args& argv, const std::string&) {
        bool storage = argv.size() > 3 && argv[1] == "storage" && argv[2] == "filesystem";
        return storage ? ShellResult{} : failure(1, "esxcli: unknown command");
    });
    shell.addAlias("/bin/cat", "cat");
    shell.addAlias("/bin/grep", "grep");
    shell.addAlias("/bin/echo", "echo");
}
