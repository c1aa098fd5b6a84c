#pragma once

#include "baseutils/Export.h"
#include "baseutils/KvoString.h"
#include "baseutils/KvoTime.h"

// What MakeDirectory and Create store through their error pointer.
enum KvoErrorCodeEnum {
    KvoErrorNone = 0,
    KvoErrorInvalidPath = 1,    // empty path
    KvoErrorAlreadyExists = 2,  // the file to create exists
    KvoErrorPathNotFound = 3,   // the parent directory is missing
    KvoErrorCreateFailed = 4,   // the system refused to create it
};

// A file or directory named by its path ("/" separates components).
class KVO_EXPORT KvoFile {
public:
    enum KvoFileTimeEnum {
        KvoFileCreationTime = 0,
        KvoFileModificationTime = 1,
        KvoFileAccessTime = 2,
    };
    enum KvoFileBoolEnum {
        KvoFileReadOnly = 1,
        KvoFileHidden = 2,
        KvoFileSystem = 4,
        KvoFileArchive = 8,
    };
    enum KvoFileAccessModeEnum {
        KvoFileAccessRead = 1,
        KvoFileAccessWrite = 2,
        KvoFileAccessReadWrite = 3,
    };
    enum KvoFileShareModeEnum {
        KvoFileShareNone = 0,
        KvoFileShareRead = 1,
        KvoFileShareWrite = 2,
        KvoFileShareReadWrite = 3,
    };

    KvoFile();
    KvoFile(const KvoString& path);
    KvoFile(const KvoFile& other);
    KvoFile& operator=(const KvoFile& other);
    virtual ~KvoFile();

    bool operator==(const KvoFile& other) const;
    bool operator!=(const KvoFile& other) const;

    bool HasPath() const;
    KvoString GetPath() const;
    int SetPath(const KvoString& path);

    bool Exists() const;
    // Updates the time stamps of an existing file (not a directory).
    bool Touch() const;
    // Bytes of a file, entries of a directory.
    unsigned long long GetSize() const;
    bool IsEmpty() const;
    // Removes a file; a directory is only emptied of its files (and false returned).
    bool Delete();
    bool MakeDirectory(bool recursive, KvoErrorCodeEnum* error = nullptr);
    bool Create(bool createParents, KvoErrorCodeEnum* error = nullptr);

    KvoString GetParentPath(bool withSeparator = false) const;
    KvoString GetName() const;
    KvoString GetBaseName() const;
    KvoString GetExtension() const;
    bool AppendName(const KvoString& name);
    bool IsValidName() const;
    bool ParentExists() const;

    bool HasValidPath() const;
    bool SetName(const KvoString& name);
    bool RemoveName();
    bool SetExtension(const KvoString& extension);

    // Placeholders kept for the interface.
    bool IsOpen() const;
    bool CanOpen(KvoFileAccessModeEnum access, KvoFileShareModeEnum share) const;
    bool ResolveAlias();
    bool GetBool(KvoFileBoolEnum which) const;
    bool SetBool(KvoFileBoolEnum which, bool value);
    KvoTime GetTime(KvoFileTimeEnum which) const;
    bool SetTime(KvoFileTimeEnum which, const KvoTime& time);
    void ResolvePathAliases();

private:
    bool IsDirectory() const;

    KvoString mPath;
};
