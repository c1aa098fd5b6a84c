#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "kvoipmi/KvoIPMICommandData.h"
#include "storage/CfgEntry.h"
#include "storage/DropBoxRoom.h"
#include "storage/Md5Wrapper.h"
#include "storage/StorageRoadLock.h"
#include "storage/VeskErrors.h"
#include "storage/VeskLog.h"

struct DropBoxExchange;
struct spartInfo;

// The storage session; all 0 while no session is open.
struct sessionHandle {
    unsigned short veskHandle;
    unsigned char sessionActive;
    unsigned short staticPartBitmap;
    unsigned short dynPartBitmap;
};

// Server generation cache: -1 until the layer's initialisation has read it.
extern int GenerationType;

// The storage layer object: one per inventory call.
class secureVesk {
public:
    secureVesk();
    virtual ~secureVesk();
    secureVesk(const secureVesk&) = delete;
    secureVesk& operator=(const secureVesk&) = delete;

    // Command protocol.
    int IPMIRequest(unsigned char subCommand, void* record, unsigned short requestLength,
                    unsigned short responseLength);
    void storeErrorInfo(unsigned char error);
    unsigned char getQuibError();
    // The same for an object that may not exist (17 when it does not).
    static unsigned char getQuibError(const secureVesk* object);
    static unsigned short swapBytes(unsigned short value);

    // Start-up and identification.
    int secureVeskInit();
    int secureVeskInitIPMI();
    int GetSystemGeneration();
    int GetVeskType();
    int IsVeskPresent();
    int IsVeskEnabled();
    int iSMk13Quenta();
    int isMonolithic();
    int isDepCheckSupported();
    int byPassRecoveryState();
    int get_comp_id(std::string& componentId);
    void setRestart();
    int getStateFlag(unsigned char& flag);
    int setStateFlag(unsigned char flag);

    // Sessions.
    int BeginVeskSession(unsigned short timeout);
    int BeginVeskSessionExtended(unsigned short timeout);
    int EndVeskSession();
    int IsSessionActive();

    // Completion polling.
    bool PollVeskCmdComplete(int limit, unsigned char subCommand);

    // Partition catalogue.
    int getPartIndex(const std::string& label);
    unsigned short getPartIndexInfo();
    unsigned short getDynPartIndexInfo();
    bool getPartInfo(unsigned short bitmap);
    bool getDynPartInfo(unsigned short bitmap);

    // Record exchanges.
    bool QueryPyx(std::stringstream& out, exmlMode mode);
    bool doDepCheck(std::stringstream& out, exmlMode queryType);
    // Record update: mode 10 (records) or 11 (entire inventory).
    bool UpdatePyx(std::string componentId, exmlMode mode, std::string deviceInputXml);
    // The records document: the device input's Device elements, or one built
    // from the package description and the system id.
    std::string getPyxXml(const std::string& componentId, const std::string& deviceInputXml);

    // Digest hand-over of a file placed in the drop box.
    bool SecureVeskCopy(sessionHandle session, std::string hash, unsigned short fileArgument);
    bool SecureVeskCopyMk13Plus(sessionHandle session, std::string hash, digestType type);
    bool SendHashPart(sessionHandle session, std::string hash);

    // Payload placement of the entry list.
    bool StartCopyFile();
    void CalculateAndAdjustPayloadSize(std::uint64_t& size);
    bool CompleteCopyFile();
    // Fills one drop box cycle from entry processed on, advancing it.
    bool populateDynPart(const std::string& mountPoint, std::ostream& commandFile,
                         std::size_t& processed, std::uint64_t dropBoxSize);
    bool VerifyCopyFiles();
    // The signed package (archive, signature, package description).
    bool CompleteSignedUnzip();
    bool populateDynPart(std::ostream& commandFile);

    // Stage-and-update commands.
    bool beginSecureUpdate(sessionHandle session, unsigned int payload);
    bool processSecureUpdate(sessionHandle session, std::string digest);
    bool endSecureUpdate(sessionHandle session);
    bool checkIfMk13PlusIPMISupported();
    digestType QuerySupportedSecurtyMethod();
    bool sendIPMICommandToStageAndUpdate(bool stageAndUpdate, digestType type);
    // 0 applied or staged without reboot, 1 staged with reboot required, -1 failure.
    int pollForStatus();
    bool StagevACResetRequestSIPMI();
    // The service environment status, -1 when the command could not be sent.
    int pollForOrbeStatus();

    // Attach, detach and drop boxes. Masks are in wire order (as the
    // catalogue's attachMask) unless named a bitmap.
    bool AttachPartition(unsigned short staticMask, unsigned short dynMask, int partIndex);
    bool AttachVeskPartition(const std::string& label);
    bool AttachVeskPartition(int partIndex);
    bool DetachPartition(unsigned short staticMask, unsigned short dynMask, int partIndex,
                         bool logFailure);
    bool DetachAll();
    bool DetachVeskPartition(const std::string& label);
    bool DetachVeskPartition(int partIndex);
    bool CreateDropBox(const std::string& name, std::uint64_t size, std::uint64_t* outSize);
    bool DeleteDropBox(unsigned short bitmap);
    bool deleteDynPartWithName(unsigned short bitmap, const std::string& name);
    void ESX_RemoveEntries(unsigned short staticMask, unsigned short dynMask, int partIndex);
    void CleanMountedPartition();

    // Volume discovery.
    bool getPartDrive(const std::string& label, std::string& drive);
    // Writes at most size bytes, the terminating zero included.
    bool getDynPartDrive(const std::string& name, char* buffer, std::size_t size = 1024);
    bool isSGDriverLoaded();
    std::string getDevicePath(const std::string& label);

    // Mounting and host environment.
    bool getLinuxOSVer();
    bool mountStatPartition(const std::string& label);
    bool mountDynPartition();
    bool unmountStatPartition(const std::string& label);
    bool unmountDynPartition();
    bool udevhalInstall();
    bool udevhalUninstall();
    bool RestartUdevRules();
    bool StartHalDaemon();
    bool StopHalDaemon();
    bool IsHalDaemonRunning();
    bool CopyFile(const std::string& file, const std::string& directory);

    // Fields, in this order.
    int constructed;
    sessionHandle session;
    std::vector<cfgEntry> exchangeFiles;
    unsigned char lastError;
    unsigned char accessState;
    int veskType;
    std::string updateText;
    std::string workText;
    int osType;
    int restartFlag;
    unsigned int maxDropBoxSize;
    unsigned char updatePathFlag;
    unsigned char halDaemonRunning;
    unsigned char layerReady;
    unsigned char lastFlag;
    bool copyStarted = false;
    // Held for the object's whole life, let go after everything else.
    StorageRoadLock roadLock;
    // The room left on the current placement's drop box volume; null while
    // none is measured.
    std::unique_ptr<DropBoxRoom> dropBoxVolume;
    // The digests of files sent in chunks without one from the caller, by
    // entry, built as the chunks are copied.
    std::map<std::size_t, Md5Stream> payloadDigests;

protected:
    // Runs an operation body that fails by raising a layer error number: the
    // number is stored and onRaised(number) gives the result (it may also pass
    // the number on by raising it again). Any other exception goes to
    // onInternalError (the std::exception, or null) and gives failure.
    template <typename Result, typename Body, typename Raised, typename Internal>
    Result guardWith(Result failure, Body&& body, Raised&& onRaised, Internal&& onInternalError);

    // A raised number gives failure.
    template <typename Result, typename Body, typename Internal>
    Result guardWith(Result failure, Body&& body, Internal&& onInternalError);

    // The usual guard: other exceptions log internalLog and store 31.
    template <typename Result, typename Body>
    Result guard(Result failure, const char* file, unsigned line, Body&& body,
                 std::initializer_list<const char*> internalLog = {"QUIB internal error"});

    // The usual guard with a handler of the raised number.
    template <typename Result, typename Body, typename Raised>
    Result guardRaised(Result failure, const char* file, unsigned line, Body&& body,
                       Raised&& onRaised,
                       std::initializer_list<const char*> internalLog = {"QUIB internal error"});

private:
    int beginSession(unsigned char subCommand, unsigned char mode, unsigned short timeout);
    void sessionRefused(const char* errorLine, const char* failedLine);
    bool readPartitionBitmaps();
    void requireCatalogueSession();
    bool requestPartitionInfo(unsigned char kind, int slot);
    const spartInfo& presentRow(int partIndex);
    void sendHandle(unsigned char* requestData);
    void waitForRebootedController();
    void openWorkingSession();
    void bringPartitionsToKnownState();
    bool usbArbitratorRunning();
    bool accessStateEnabled(unsigned char& state);
    int platformQuery(unsigned char command, std::initializer_list<unsigned char> data,
                      unsigned short responseLength, _KvoIPMICommandData& record);
    bool sendPartitionMasks(unsigned char subCommand, unsigned short staticMask,
                            unsigned short dynMask);
    bool mountVolume(const std::string& label, const std::string& mountOptions,
                     const std::string& redirection, const char* mountedLine);
    bool unmountDropBoxMounts();
    void removeMountLeftovers(const std::string& label);
    bool copyRulesFiles(const std::string& directory);
    void removeRulesFiles(const std::string& directory);
    void detachWhatWasAttached(unsigned short staticMask, unsigned short dynMask);
    bool runDropBoxExchange(const DropBoxExchange& exchange, std::string& answer);
    bool exchangeAccepted(const char* name, const std::function<void()>& check);
    // A record request needs a session and one of modes (else 2 or 32).
    bool recordRequestAccepted(const char* name, exmlMode mode,
                               std::initializer_list<exmlMode> modes, const char* noSessionLine);
    std::string dropBoxDirectory(const char* notFoundLine, const char* emptyLabelLine1,
                                 const char* emptyLabelLine2, const char* foundLine);
    void attachDropBox(unsigned short mask, const char* succeededLine);
    void detachDropBox(unsigned short mask);
    std::string readAnswerFile(const DropBoxExchange& exchange, const std::string& directory);
    void deleteUnidentifiedDropBox(unsigned short before, unsigned short after);
    void sendChunk(const std::string& mountPoint, std::ostream& commandFile, std::size_t& processed,
                   std::uint64_t room);
    bool sendStageQuery(const std::string& name, unsigned char function);
    bool secureUpdateAccepted(int status, const char* failedLine);
    bool packageRecordComplete(const std::string& componentId);
    void findPlacementDirectory();
    void emptyDropBox(const std::string& directory, std::size_t processed);
    void measureDropBoxVolume();
    bool fitsDropBox(const cfgEntry& entry, std::uint64_t usable);
    void takeDropBoxRoom(const cfgEntry& entry, const std::string& element,
                         std::ostream& commandFile);
    void runPlacementCycle(std::size_t& processed, std::uint64_t granted, bool& exposed);
    void removePlacementDropBox(bool mayBeExposed);
    void verifyPlacedFile(const std::string& directory, const cfgEntry& entry);
    void deleteDropBoxLeftBehind(unsigned short before);
    void endSessionOfThisRun();
};

template <typename Result, typename Body, typename Raised, typename Internal>
Result secureVesk::guardWith(Result failure, Body&& body, Raised&& onRaised,
                             Internal&& onInternalError) {
    try {
        return body();
    } catch (unsigned char error) {
        storeErrorInfo(error);
        return onRaised(error);
    } catch (const std::exception& error) {
        onInternalError(&error);
    } catch (...) {
        onInternalError(nullptr);
    }
    return failure;
}

template <typename Result, typename Body, typename Internal>
Result secureVesk::guardWith(Result failure, Body&& body, Internal&& onInternalError) {
    return guardWith(
        failure, std::forward<Body>(body), [failure](unsigned char) { return failure; },
        std::forward<Internal>(onInternalError));
}

template <typename Result, typename Body, typename Raised>
Result secureVesk::guardRaised(Result failure, const char* file, unsigned line, Body&& body,
                               Raised&& onRaised, std::initializer_list<const char*> internalLog) {
    return guardWith(failure, std::forward<Body>(body), std::forward<Raised>(onRaised),
                     [&](const std::exception*) {
                         for (const char* text : internalLog) {
                             logVeskMsg(file, line, text);
                         }
                         storeErrorInfo(QUIB_INTERNAL_ERROR);
                     });
}

template <typename Result, typename Body>
Result secureVesk::guard(Result failure, const char* file, unsigned line, Body&& body,
                         std::initializer_list<const char*> internalLog) {
    return guardRaised(
        failure, file, line, std::forward<Body>(body), [failure](unsigned char) { return failure; },
        internalLog);
}
