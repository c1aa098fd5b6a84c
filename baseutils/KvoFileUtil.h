#pragma once

#include <vector>

#include "baseutils/Export.h"
#include "baseutils/KvoFile.h"
#include "baseutils/KvoString.h"

// Static helpers for directories, copies and unique names.
class KVO_EXPORT KvoFileUtil {
public:
    static KvoString GetSeparator();
    static std::vector<KvoString> GetReservedNames();
    static std::vector<KvoString> GetIllegalCharacters();
    // The running program (withFileName) or its directory.
    static KvoString GetCurrentExecutablePath(bool withFileName);
    static KvoFile GetSystemTempDirectory();
    static bool IsDirectory(const KvoString& path);

    // 0 on success, 1 when the path is empty or no directory, or removal fails.
    // removeSelf removes the (empty) directory itself; otherwise the entries
    // directly inside it are removed.
    static int DeleteDirectory(KvoFile& directory, bool removeSelf);

    static KvoFile CreateUniqueDirectory(const KvoString& parent, const KvoString& prefix);
    static KvoFile CreateUniqueTemporaryDirectory();
    static KvoFile CreateUniqueFile(const KvoString& directory, const KvoString& prefix,
                                    const KvoString& extension);
    static KvoFile CreateUniqueTemporaryFile(const KvoString& prefix, const KvoString& extension);

    // Renames within the parent directory; file then names the new path.
    static bool RenameFile(KvoFile& file, const KvoString& newName);
    static bool MakeCopyOfFile(const KvoFile& source, const KvoFile& destination,
                               bool failIfExists);
    static bool MoveFile(const KvoFile& source, const KvoFile& destination, bool failIfExists);

    // Appends the names in directory matching prefix + pattern (+ "." + extension),
    // ignoring case; directories only when includeDirectories is set.
    static bool GetFileNamesInDirectory(const KvoFile& directory, const KvoString& prefix,
                                        const KvoString& pattern, const KvoString& extension,
                                        std::vector<KvoString>& names, bool includeDirectories);
    // Fetches source with wget into destination.
    static bool GetFile(const KvoString& source, const KvoFile& destination);
    // recursive: also copies subdirectories; useShell: one "cp -R" command.
    static bool CopyDirectory(const KvoFile& source, const KvoFile& destination, bool recursive,
                              bool useShell);
};
