#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

// Identifies one controller command: network function, command byte and, for
// the storage command 0xA2, the sub-command in request byte 0 (-1 otherwise).
struct CommandKey {
    std::uint8_t netfn = 0;
    std::uint8_t cmd = 0;
    int sub = -1;

    bool operator<(const CommandKey& other) const {
        return std::tie(netfn, cmd, sub) < std::tie(other.netfn, other.cmd, other.sub);
    }
    bool operator==(const CommandKey& other) const {
        return netfn == other.netfn && cmd == other.cmd && sub == other.sub;
    }
};

// A storage sub-command of command 0xA2.
inline CommandKey storageCommand(std::uint8_t sub) {
    return CommandKey{0x30, 0xA2, sub};
}
// An OEM command without sub-command (0xAD, 0xAE, 0xBD, 0xBF).
inline CommandKey oemCommand(std::uint8_t cmd) {
    return CommandKey{0x30, cmd, -1};
}

// How the controller answers one call of a command instead of (or on top of)
// its normal behaviour.
struct Behaviour {
    // A non-zero code answers with it and skips the command's effect; zero
    // (or unset) carries the command out.
    std::optional<std::uint8_t> completionCode;
    // Response bytes after the completion code, replacing the normal ones.
    std::optional<std::vector<std::uint8_t>> data;
    // The controller does not answer at all.
    bool noAnswer = false;
    // Accepted but still running: answered with pendingCode, then
    // "GetVESKStatus" reports 2 for this many polls before finalStatus.
    // Until then a resend of the command gets the same answer.
    std::optional<int> pendingPolls;
    std::uint8_t pendingCode = 2;
    std::uint8_t finalStatus = 0;
    // A successful answer carries a new session handle in bytes 1-2.
    bool renewHandle = false;

    static Behaviour code(std::uint8_t completionCode, std::vector<std::uint8_t> data = {});
    static Behaviour answer(std::vector<std::uint8_t> data);
    static Behaviour silent();
    static Behaviour pending(int polls, std::uint8_t finalStatus = 0, std::uint8_t code = 2);
    static Behaviour renewedHandle();
};

// The scripted behaviours of the controller, looked up per call: a behaviour
// for a given call number wins over a queued one, which wins over the one for
// every call.
class ControllerScript {
public:
    void always(const CommandKey& key, const Behaviour& behaviour);
    void onCall(const CommandKey& key, unsigned callNumber, const Behaviour& behaviour);
    void queue(const CommandKey& key, const Behaviour& behaviour);
    void clear();

    // Behaviour for call number callNumber (1-based) of key; consumes a
    // queued behaviour.
    std::optional<Behaviour> take(const CommandKey& key, unsigned callNumber);

private:
    std::map<CommandKey, Behaviour> always_;
    std::map<std::pair<CommandKey, unsigned>, Behaviour> byCall_;
    std::map<CommandKey, std::deque<Behaviour>> queued_;
};
