#include "baseutils/KvoFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "baseutils/KvoFileUtil.h"
#include "tests/support/TestSupport.h"
#include "vserver/VirtualServer.h"

namespace fs = std::filesystem;

namespace {

KvoString utf8(const std::string& text) {
    return KvoString(text.c_str(), KvoString::KvoEncodingUTF8);
}

KvoFile file(const std::string& path) {
    return KvoFile(utf8(path));
}

std::string text(const KvoString& value) {
    return value.GetUTF8String();
}

std::string path(const KvoFile& value) {
    return value.GetPath().GetUTF8String();
}

}  // namespace

TEST(KvoFile, PathTexts) {
    struct Case {
        std::string path, parent, parentWithSeparator, name, base, extension;
    };
    const std::vector<Case> cases = {
        {"", "", "", "", "", ""},
        {"dir/sub/file.tar.gz", "dir/sub", "dir/sub/", "file.tar.gz", "file.tar", "gz"},
        {"file", "file", "", "file", "file", ""},
        {"/abs/dir/", "/abs/dir", "/abs/dir/", "dir", "dir", ""},
        {"a.b/c", "a.b", "a.b/", "c", "c", ""},
    };
    for (const Case& c : cases) {
        KvoFile f = file(c.path);
        EXPECT_EQ(c.parent, text(f.GetParentPath(false))) << c.path;
        EXPECT_EQ(c.parentWithSeparator, text(f.GetParentPath(true))) << c.path;
        EXPECT_EQ(c.name, text(f.GetName())) << c.path;
        EXPECT_EQ(c.base, text(f.GetBaseName())) << c.path;
        EXPECT_EQ(c.extension, text(f.GetExtension())) << c.path;
    }
}

TEST(KvoFile, NameEditsAndChecks) {
    KvoFile f = file("logs");
    EXPECT_TRUE(f.AppendName(utf8("run.log")));
    EXPECT_EQ("logs/run.log", path(f));
    EXPECT_FALSE(f.AppendName(utf8("a:b")));
    EXPECT_FALSE(f.AppendName(KvoString()));
    EXPECT_FALSE(KvoFile().AppendName(utf8("x")));
    KvoFile slash = file("logs/");
    EXPECT_TRUE(slash.AppendName(utf8("x")));
    EXPECT_EQ("logs/x", path(slash));

    EXPECT_TRUE(f.IsValidName());
    EXPECT_FALSE(file("dir/a*b").IsValidName());
    EXPECT_FALSE(KvoFile().IsValidName());
    EXPECT_TRUE(f.HasValidPath());
    EXPECT_FALSE(file("di?r/x").HasValidPath());

    EXPECT_TRUE(f.SetExtension(utf8("txt")));
    EXPECT_EQ("logs/run.txt", path(f));
    EXPECT_TRUE(f.SetName(utf8("other.bin")));
    EXPECT_EQ("logs/other.bin", path(f));
    EXPECT_FALSE(f.SetName(utf8("x/y")));
    EXPECT_TRUE(f.RemoveName());
    EXPECT_EQ("logs", path(f));
    EXPECT_TRUE(f.RemoveName());
    EXPECT_EQ("", path(f));
    EXPECT_FALSE(f.HasPath());

    EXPECT_TRUE(file("a/b") == file("a/b"));
    EXPECT_TRUE(file("a/b") != file("a/B"));
    KvoFile assigned;
    assigned = file("x");
    EXPECT_EQ(0, assigned.SetPath(utf8("y")));
    EXPECT_EQ("y", path(assigned));
}

TEST(KvoFile, DirectoriesFilesSizesAndDeletion) {
    ScopedWorkingDirectory cwd;
    KvoErrorCodeEnum error = KvoErrorNone;

    KvoFile deep = file("a/b/c");
    EXPECT_FALSE(deep.MakeDirectory(false, &error));
    EXPECT_EQ(KvoErrorPathNotFound, error);
    EXPECT_TRUE(deep.MakeDirectory(true, &error));
    EXPECT_EQ(KvoErrorNone, error);
    EXPECT_TRUE(KvoFileUtil::IsDirectory(utf8("a/b/c")));
    EXPECT_TRUE(KvoFileUtil::IsDirectory(utf8("a/b/c\\")));
    EXPECT_TRUE(deep.MakeDirectory(false, nullptr));  // exists already

    KvoFile created = file("x/y/new.txt");
    EXPECT_FALSE(created.Create(false, &error));
    EXPECT_EQ(KvoErrorPathNotFound, error);
    EXPECT_TRUE(created.Create(true, &error));
    EXPECT_TRUE(created.Exists());
    EXPECT_TRUE(created.IsEmpty());
    writeTextFile("x/y/new.txt", "hello");
    EXPECT_FALSE(created.Create(true, &error));  // an existing file is kept
    EXPECT_EQ(KvoErrorAlreadyExists, error);
    EXPECT_EQ("hello", readTextFile("x/y/new.txt"));
    EXPECT_EQ(5u, created.GetSize());
    EXPECT_FALSE(created.IsEmpty());

    KvoFile bare = file("bare.txt");
    EXPECT_TRUE(bare.ParentExists());
    EXPECT_TRUE(bare.Create(false, nullptr));
    EXPECT_FALSE(file("nope/z").ParentExists());
    EXPECT_FALSE(KvoFile().Exists());

    // A directory's size counts its entries; Delete only empties it.
    writeTextFile("x/y/other.txt", "1");
    KvoFile directory = file("x/y");
    EXPECT_EQ(2u, directory.GetSize());
    fs::create_directories("x/y/sub/inner");
    EXPECT_FALSE(directory.Delete());
    EXPECT_FALSE(fileExists("x/y/new.txt"));
    EXPECT_TRUE(fileExists("x/y/sub"));
    EXPECT_EQ(1u, directory.GetSize());

    EXPECT_TRUE(bare.Delete());
    EXPECT_FALSE(bare.Exists());
    EXPECT_FALSE(bare.Delete());
    EXPECT_EQ(0u, file("missing").GetSize());
}

TEST(KvoFile, PlaceholdersAnswerAsDocumented) {
    ScopedWorkingDirectory cwd;
    writeTextFile("f", "x");
    KvoFile f = file("f");
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.CanOpen(KvoFile::KvoFileAccessRead, KvoFile::KvoFileShareNone));
    EXPECT_FALSE(f.ResolveAlias());
    EXPECT_FALSE(f.GetBool(KvoFile::KvoFileArchive));
    EXPECT_TRUE(f.SetBool(KvoFile::KvoFileArchive, true));
    EXPECT_FALSE(f.SetBool(KvoFile::KvoFileHidden, true));
    EXPECT_FALSE(file("missing").SetBool(KvoFile::KvoFileArchive, true));
    EXPECT_FALSE(f.GetTime(KvoFile::KvoFileModificationTime).IsValid());
    EXPECT_FALSE(f.SetTime(KvoFile::KvoFileModificationTime, KvoTime(5)));
}

TEST(KvoFile, TouchRunsTheShellThroughTheHostPort) {
    ScopedWorkingDirectory cwd;
    VirtualServer server;
    ScopedHostPort port(server);
    server.shell().script("^touch ", 0);
    writeTextFile("notes.txt", "n");
    writeTextFile("my notes.txt", "n");
    fs::create_directory("dir");

    EXPECT_TRUE(file("notes.txt").Touch());
    EXPECT_TRUE(file("my notes.txt").Touch());
    EXPECT_FALSE(file("dir").Touch());
    EXPECT_FALSE(file("missing").Touch());
    EXPECT_EQ((std::vector<std::string>{"touch -c notes.txt", "touch -c 'my notes.txt'"}),
              server.shell().commands());
}

TEST(KvoFileUtil, FixedAnswers) {
    EXPECT_EQ("/", text(KvoFileUtil::GetSeparator()));
    EXPECT_TRUE(KvoFileUtil::GetReservedNames().empty());
    std::string illegal;
    for (const KvoString& c : KvoFileUtil::GetIllegalCharacters()) {
        illegal += text(c);
    }
    EXPECT_EQ("\\/?*<\">|", illegal);
    EXPECT_EQ("/tmp", path(KvoFileUtil::GetSystemTempDirectory()));
}

TEST(KvoFileUtil, ExecutablePathComesFromProcSelfExe) {
    VirtualServer server;
    ScopedHostPort port(server);
    fs::create_directories(server.resolve("/proc/self"));
    fs::create_symlink("/opt/tool/bin/prog", server.resolve("/proc/self/exe"));
    EXPECT_EQ("/opt/tool/bin/prog", text(KvoFileUtil::GetCurrentExecutablePath(true)));
    EXPECT_EQ("/opt/tool/bin", text(KvoFileUtil::GetCurrentExecutablePath(false)));
}

TEST(KvoFileUtil, DeleteDirectory) {
    ScopedWorkingDirectory cwd;
    fs::create_directories("d/sub");
    writeTextFile("d/f", "x");
    KvoFile d = file("d");
    EXPECT_EQ(1, KvoFileUtil::DeleteDirectory(d, true));  // not empty
    EXPECT_EQ(0, KvoFileUtil::DeleteDirectory(d, false));
    EXPECT_FALSE(fileExists("d/f"));
    EXPECT_FALSE(fileExists("d/sub"));  // an empty subdirectory goes too
    EXPECT_EQ(0, KvoFileUtil::DeleteDirectory(d, true));
    EXPECT_FALSE(fileExists("d"));
    KvoFile none;
    EXPECT_EQ(1, KvoFileUtil::DeleteDirectory(none, false));
    writeTextFile("plain", "x");
    KvoFile plain = file("plain");
    EXPECT_EQ(1, KvoFileUtil::DeleteDirectory(plain, false));
}

TEST(KvoFileUtil, UniqueDirectoriesAndFiles) {
    ScopedWorkingDirectory cwd;
    VirtualServer server;  // the system temporary directory lies in its sandbox
    ScopedHostPort port(server);
    fs::create_directory("parent");

    // The same second seeds the same identifiers; both calls still succeed.
    KvoFile first = KvoFileUtil::CreateUniqueDirectory(utf8("parent"), utf8("pre"));
    KvoFile second = KvoFileUtil::CreateUniqueDirectory(utf8("parent"), utf8("pre"));
    const std::regex shape(
        "parent/pre[0-9a-f]+-4[0-9a-f]{3}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]+4[0-9a-f]{3}");
    EXPECT_TRUE(std::regex_match(path(first), shape)) << path(first);
    EXPECT_TRUE(std::regex_match(path(second), shape)) << path(second);
    EXPECT_NE(path(first), path(second));
    EXPECT_TRUE(KvoFileUtil::IsDirectory(first.GetPath()));
    EXPECT_TRUE(KvoFileUtil::IsDirectory(second.GetPath()));
    EXPECT_FALSE(KvoFileUtil::CreateUniqueDirectory(utf8("missing"), utf8("p")).HasPath());

    KvoFile temporary = KvoFileUtil::CreateUniqueTemporaryDirectory();
    EXPECT_EQ(0u, path(temporary).rfind("/tmp/", 0));
    EXPECT_TRUE(fs::is_directory(server.resolve(path(temporary))));

    KvoFile tempFile = KvoFileUtil::CreateUniqueTemporaryFile(utf8("inv"), utf8("xml"));
    EXPECT_TRUE(std::regex_match(path(tempFile), std::regex("/tmp/inv.{6}\\.xml")))
        << path(tempFile);
    EXPECT_TRUE(server.fileExists(path(tempFile)));

    KvoFile placed = KvoFileUtil::CreateUniqueFile(utf8("parent"), utf8("f"), KvoString());
    EXPECT_TRUE(std::regex_match(path(placed), std::regex("parent/f.{6}"))) << path(placed);
    EXPECT_TRUE(fileExists(path(placed)));
    EXPECT_FALSE(server.fileExists("/tmp/" + text(placed.GetName())));
    EXPECT_FALSE(KvoFileUtil::CreateUniqueFile(utf8("missing"), utf8("f"), utf8("x")).HasPath());
}

TEST(KvoFileUtil, RenameCopyAndMove) {
    ScopedWorkingDirectory cwd;
    fs::create_directory("d");
    std::string content(100000, 'x');
    content += "end";
    writeTextFile("d/a.bin", content);

    KvoFile a = file("d/a.bin");
    EXPECT_FALSE(KvoFileUtil::RenameFile(a, utf8("x/y")));
    EXPECT_FALSE(KvoFileUtil::RenameFile(a, utf8("x*y")));
    EXPECT_FALSE(KvoFileUtil::RenameFile(a, KvoString()));
    ASSERT_TRUE(KvoFileUtil::RenameFile(a, utf8("b.bin")));
    EXPECT_EQ("d/b.bin", path(a));
    EXPECT_EQ(content, readTextFile("d/b.bin"));
    KvoFile directory = file("d");
    EXPECT_FALSE(KvoFileUtil::RenameFile(directory, utf8("e")));
    KvoFile missing = file("d/none");
    EXPECT_FALSE(KvoFileUtil::RenameFile(missing, utf8("e")));

    KvoFile copy = file("copy.bin");
    EXPECT_TRUE(KvoFileUtil::MakeCopyOfFile(a, copy, true));
    EXPECT_EQ(content, readTextFile("copy.bin"));
    EXPECT_EQ(0644u, static_cast<unsigned>(fs::status("copy.bin").permissions() & fs::perms::mask) &
                         ~0022u);
    EXPECT_FALSE(KvoFileUtil::MakeCopyOfFile(a, copy, true));
    writeTextFile("copy.bin", "longer old content that gets truncated away");
    EXPECT_TRUE(KvoFileUtil::MakeCopyOfFile(file("d/../d/b.bin"), copy, false));
    EXPECT_EQ(content, readTextFile("copy.bin"));

    // Copying a file onto itself would truncate it.
    EXPECT_FALSE(KvoFileUtil::MakeCopyOfFile(a, file("d/../d/b.bin"), false));
    EXPECT_EQ(content, readTextFile("d/b.bin"));
    EXPECT_FALSE(KvoFileUtil::MakeCopyOfFile(a, directory, false));
    EXPECT_FALSE(KvoFileUtil::MakeCopyOfFile(file("none"), copy, false));

    EXPECT_TRUE(KvoFileUtil::MoveFile(copy, file("d/moved.bin"), true));
    EXPECT_FALSE(fileExists("copy.bin"));
    EXPECT_EQ(content, readTextFile("d/moved.bin"));
}

TEST(KvoFileUtil, ListsMatchingNamesIgnoringCase) {
    ScopedWorkingDirectory cwd;
    fs::create_directories("d/dir.log");
    writeTextFile("d/a.log", "");
    writeTextFile("d/B.LOG", "");
    writeTextFile("d/c.txt", "");
    writeTextFile("d/kvo1.log", "");

    auto list = [](const std::string& prefix, const std::string& pattern,
                   const std::string& extension, bool directories) {
        std::vector<KvoString> names;
        EXPECT_TRUE(KvoFileUtil::GetFileNamesInDirectory(file("d"), utf8(prefix), utf8(pattern),
                                                         utf8(extension), names, directories));
        std::vector<std::string> out;
        for (const KvoString& name : names) {
            out.push_back(text(name));
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ((std::vector<std::string>{"B.LOG", "a.log", "kvo1.log"}),
              list("", "*", "log", false));
    EXPECT_EQ((std::vector<std::string>{"B.LOG", "a.log", "dir.log", "kvo1.log"}),
              list("", "", "LOG", true));
    EXPECT_EQ((std::vector<std::string>{"kvo1.log"}), list("KVO", "?", "log", false));

    std::vector<KvoString> names;
    EXPECT_FALSE(KvoFileUtil::GetFileNamesInDirectory(file("none"), KvoString(), KvoString(),
                                                      KvoString(), names, false));
}

TEST(KvoFileUtil, GetFileFetchesWithWgetThroughTheHostPort) {
    ScopedWorkingDirectory cwd;
    VirtualServer server;
    ScopedHostPort port(server);
    fs::create_directory("dl");
    writeTextFile("dl/f.bin", "old");
    server.shell().script("^wget ", 0);

    EXPECT_TRUE(KvoFileUtil::GetFile(utf8("http://host/f.bin"), file("dl/f.bin")));
    EXPECT_FALSE(fileExists("dl/f.bin"));  // the old copy is removed first
    EXPECT_EQ(std::vector<std::string>{"wget http://host/f.bin -P dl -O dl/f.bin"},
              server.shell().commands());

    server.shell().script("^wget ", 4);
    EXPECT_FALSE(KvoFileUtil::GetFile(utf8("http://host/x; rm -rf ~"), file("x")));
    EXPECT_EQ("wget 'http://host/x; rm -rf ~' -P . -O x", server.shell().commands().back());
}

TEST(KvoFileUtil, CopyDirectoryEntryByEntryOrInOneCommand) {
    ScopedWorkingDirectory cwd;
    VirtualServer server;
    ScopedHostPort port(server);
    server.shell().addProgram("mkdir",
                              [](const std::vector<std::string>& argv, const std::string&) {
                                  fs::create_directories(argv.back());
                                  return ShellResult{0, ""};
                              });
    fs::create_directories("src/sub");
    writeTextFile("src/a", "A");
    writeTextFile("src/sub/b", "B");

    EXPECT_TRUE(KvoFileUtil::CopyDirectory(file("src"), file("flat"), false, false));
    EXPECT_EQ("A", readTextFile("flat/a"));
    EXPECT_FALSE(fileExists("flat/sub"));

    EXPECT_TRUE(KvoFileUtil::CopyDirectory(file("src"), file("deep"), true, false));
    EXPECT_EQ("B", readTextFile("deep/sub/b"));
    EXPECT_EQ(
        (std::vector<std::string>{"mkdir -p 'flat'", "mkdir -p 'deep'", "mkdir -p 'deep/sub'"}),
        server.shell().commands());

    server.shell().clearCommands();
    server.shell().script("^cp -R ", 0);
    EXPECT_TRUE(KvoFileUtil::CopyDirectory(file("src"), file("other"), true, true));
    EXPECT_EQ(std::vector<std::string>{"cp -R src/* other"}, server.shell().commands());
    EXPECT_FALSE(KvoFileUtil::CopyDirectory(file("none"), file("other"), true, true));
}
