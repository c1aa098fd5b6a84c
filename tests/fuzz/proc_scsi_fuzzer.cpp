// The ESX clean-up's reading of /proc/scsi/scsi: the input is what the
// listing pipeline prints. Whatever it holds, the removal command may only
// ever carry four small numbers into the shell.
#include <regex>
#include <string>

#include "storage/OsType.h"
#include "storage/SecureVesk.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

class ListingHost : public VirtualServer {
public:
    std::string listing;
    std::string removal;

    bool popen(const std::string& command, std::size_t maxBytes, std::string& output,
               int* status) override {
        if (command.rfind("/bin/cat /proc/scsi/scsi", 0) != 0) {
            return VirtualServer::popen(command, maxBytes, output, status);
        }
        output = listing.substr(0, maxBytes);
        if (status) {
            *status = 0;
        }
        return true;
    }
    int system(const std::string& command) override {
        if (command.find("/proc/scsi/scsi") != std::string::npos) {
            removal = command;
            return 0;
        }
        return VirtualServer::system(command);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHost();
    static ListingHost* host = new ListingHost();
    static ScopedHostPort* installed = new ScopedHostPort(*host);
    static secureVesk* layer = new secureVesk();
    (void)installed;
    host->listing.assign(reinterpret_cast<const char*>(data), size);
    host->removal.clear();
    layer->osType = ESX;
    layer->ESX_RemoveEntries(0, 0x0100, 0);
    static const std::regex kRemoval(
        "echo \"scsi remove-single-entry [0-9]{1,2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2}\" > "
        "/proc/scsi/scsi");
    if (!host->removal.empty() && !std::regex_match(host->removal, kRemoval)) {
        fuzzFinding("the SCSI removal command carries more than four numbers");
    }
    return 0;
}
